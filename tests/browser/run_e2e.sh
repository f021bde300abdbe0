#!/usr/bin/env bash
# Runs a browser end-to-end test against one build: installs the drivers (playwright-core,
# puppeteer-core) from the lock file when they are missing, then drives Debian's Chromium or
# Firefox ESR. Exit 77 (skipped) only when the browser is not installed or cannot run.
#   run_e2e.sh BUILD_DIR [chromium|firefox] [SCREENSHOT.png]
set -euo pipefail
build=$(cd "${1:?usage: run_e2e.sh BUILD_DIR [chromium|firefox] [SCREENSHOT.png]}" && pwd)
browser=${2:-chromium}
screenshot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
browser_dir="$here/../../hosts/browser"

case "$browser" in
    chromium) executable=${VQ_CHROMIUM:-/usr/bin/chromium} package=chromium test=e2e.mjs ;;
    firefox) executable=${VQ_FIREFOX:-/usr/bin/firefox-esr} package=firefox-esr test=e2e_firefox.mjs ;;
    *) echo "unknown browser: $browser (chromium or firefox)" >&2; exit 2 ;;
esac
if [ ! -x "$executable" ]; then
    echo "SKIP: $executable is not installed (scripts/setup installs the Debian package $package)"
    exit 77
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "node and npm are needed (scripts/setup installs them)" >&2
    exit 1
fi
# The drivers' versions as the lock file fixes them; npm ci when any differs from what is there.
stale=$(cd "$browser_dir" && node -e '
  const lock = require("./package-lock.json").packages;
  for (const name of ["playwright-core", "puppeteer-core"]) {
    let have = "";
    try { have = require(`${name}/package.json`).version; } catch {}
    if (have !== lock[`node_modules/${name}`].version) { console.log(name); break; }
  }')
if [ -n "$stale" ]; then
    (cd "$browser_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 \
        npm ci --no-audit --no-fund --loglevel=error) >&2
fi
exec node "$here/$test" "$build" ${screenshot:+"$screenshot"}
