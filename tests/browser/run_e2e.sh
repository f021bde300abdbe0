#!/usr/bin/env bash
# Runs the browser end-to-end test against one build: installs playwright-core from the lock file
# when it is missing, then drives Debian's Chromium. Exit 77 (skipped) only when Chromium cannot run.
set -euo pipefail
build=$(cd "${1:?usage: run_e2e.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
browser_dir="$here/../../hosts/browser"
chromium=${VQ_CHROMIUM:-/usr/bin/chromium}

if [ ! -x "$chromium" ]; then
    echo "SKIP: $chromium is not installed (scripts/setup installs it)"
    exit 77
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "node and npm are needed (scripts/setup installs them)" >&2
    exit 1
fi
wanted=$(node -p "require('$browser_dir/package-lock.json').packages['node_modules/playwright-core'].version")
have=$(cd "$browser_dir" && node -p "try { require('playwright-core/package.json').version } catch { '' }")
if [ "$have" != "$wanted" ]; then
    (cd "$browser_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error) >&2
fi
exec node "$here/e2e.mjs" "$build"
