#!/usr/bin/env bash
# The Debian package on this machine: lintian, install (dpkg -i, then apt-get -f install when
# dependencies are missing), a Chromium session as an ordinary user against the installed
# programs and manifests, reinstall, remove, purge; afterwards the folders the package touches
# must list exactly what they listed before. The package is purged again also when a check fails
# or the test is interrupted; every wait is bounded, and the whole run ends itself after 8 minutes.
# Usage: run_package_test.sh PACKAGE_DIR   (exit 0 passed, 1 failed, 77 skipped)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
pkgdir=${1:?usage: run_package_test.sh PACKAGE_DIR}
user=${VQ_PACKAGE_TEST_USER:-nobody}
chromium=${VQ_CHROMIUM:-/usr/bin/chromium}
conf=/etc/veriquill/machine.reg
chromium_manifest=/etc/chromium/native-messaging-hosts/com.brantwell.veriquill.json
chrome_manifest=/etc/opt/chrome/native-messaging-hosts/com.brantwell.veriquill.json
statedir=/var/lib/veriquill
firefox_manifest=/usr/lib/mozilla/native-messaging-hosts/com.brantwell.veriquill.json
EXTENSION=chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf/
ORIGINS='HKLM\SOFTWARE\Brantwell\Veriquill'
DRIVERS='HKLM\SOFTWARE\Brantwell\SmartCard\Components'

skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL $*"
    exit 1
}
passed=0
failed=0
check() {  # check NAME COMMAND...: the command's status decides
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
    fi
}

# --- what the test needs ----------------------------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
        exec sudo -n --preserve-env=VQ_CHROMIUM,VQ_PACKAGE_TEST_USER "$0" "$@"
    fi
    skip "installing the package needs root or password-less sudo (CI runs as root)"
fi
deb=$(ls "$pkgdir"/veriquill_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || skip "no package in $pkgdir: scripts/package builds it (scripts/test does, before the suite)"
[ -x "$chromium" ] || skip "$chromium is not installed (scripts/setup installs it)"
for tool in node npm lintian setpriv flock dpkg-deb openssl xxd; do
    command -v "$tool" >/dev/null || fail "$tool is needed (scripts/setup installs it)"
done
id "$user" >/dev/null 2>&1 || fail "no user $user to run the browser as (VQ_PACKAGE_TEST_USER names another)"
changed=$(find "$source" \( -name build -o -name .git -o -name node_modules \) -prune -o -type f -newer "$deb" -print -quit)
[ -n "$changed" ] && echo "note: $changed changed after the package was built; scripts/package rebuilds it"
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb ($version)"
browser_dir=$source/hosts/browser
wanted=$(node -p "require('$browser_dir/package-lock.json').packages['node_modules/playwright-core'].version")
have=$(cd "$browser_dir" && node -p "try { require('playwright-core/package.json').version } catch { '' }")
if [ "$have" != "$wanted" ]; then
    (cd "$browser_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 timeout 300 npm ci --no-audit --no-fund --loglevel=error) >&2
fi

# One installation at a time on this machine: another checkout's run of this test goes first.
exec 9</var/lib/dpkg
flock -w 120 9 || fail "another run of this test kept the machine for 2 minutes"
status=$(dpkg-query -W -f='${Status}' veriquill 2>/dev/null)
case "$status" in
    "" | *not-installed) ;;
    *) fail "veriquill is already on this machine ($status): not this test's to replace (dpkg --purge veriquill)" ;;
esac
[ -e /etc/veriquill ] && fail "/etc/veriquill exists before the installation: not this test's to remove"

# --- the file lists before ----------------------------------------------------------------------
# The direct entries of every folder in the package, all of /etc/veriquill and of the package's
# state folder, Chrome's manifest folders, dpkg's files for the package.
mapfile -t areas < <(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ { p = substr($6, 2); sub("/$", "", p); if (p != "") print p }')
snapshot() {
    {
        for d in "${areas[@]}"; do
            [ -d "$d" ] && find "$d" -mindepth 0 -maxdepth 1 -printf '%p %y %m %u:%g\n'
        done
        find /etc/veriquill "$statedir" /etc/opt/chrome -printf '%p %y %m %u:%g\n' 2>/dev/null
        find /etc/opt -maxdepth 1 -printf '%p %y %m %u:%g\n' 2>/dev/null
        find /var/lib/dpkg/info -maxdepth 1 -name 'veriquill.*' -printf '%p\n'
    } | sort -u
}
installed_packages() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | sort
}
# Root's files in $work; the browser's user writes only below $work/user.
work=$(mktemp -d /tmp/vq-package-XXXXXX)
chmod 755 "$work"
snapshot >"$work/before.txt"
installed_packages >"$work/packages-before.txt"

ours=0  # the package is (partly) on the machine because of this run
server_pid=""
admin_file=""
main=$$
(
    trap 'kill "$nap" 2>/dev/null; exit 0' TERM
    sleep 480 &
    nap=$!
    wait "$nap" && echo "FAIL the test ran out of its 8 minutes" && kill -TERM "$main"
) &
watchdog=$!
cleanup() {
    set +e
    kill "$watchdog" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    if [ "$ours" = 1 ]; then
        echo "cleanup: purging the package"
        timeout 120 dpkg --purge veriquill >"$work/cleanup.log" 2>&1 || cat "$work/cleanup.log"
    fi
    [ -n "$admin_file" ] && rm -f "$admin_file" && rmdir /etc/veriquill 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "FAIL interrupted"; exit 1' INT TERM HUP

u=$work/user
mkdir -p "$u/home" "$u/tmp"
cp -r "$browser_dir/node_modules" "$u/node_modules"
cp "$here/session.mjs" "$deb" "$u/"
chown -R "$user" "$u"
# The browser's side of the machine: an ordinary user with a plain environment, without the
# lock's descriptor.
user_cmd=(setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --
          env -i PATH=/usr/bin:/bin HOME="$u/home" TMPDIR="$u/tmp" LANG=C.UTF-8
          ${VQ_CHROMIUM:+VQ_CHROMIUM="$VQ_CHROMIUM"})
as_user() (
    exec 9<&- "${user_cmd[@]}" "$@"
)
reg() { env -u VERIQUILL_HKLM /usr/bin/veriquill reg "$@"; }
# dpkg does not wait for its lock, which a colleague's apt-get may hold for a while: up to a minute.
dpkg_waiting() {
    local out rc start=$SECONDS
    while :; do
        out=$(timeout 180 "$@" 2>&1)
        rc=$?
        if [ $rc -ne 0 ] && grep -q 'lock' <<<"$out" && [ $((SECONDS - start)) -lt 60 ]; then
            sleep 2
            continue
        fi
        printf '%s\n' "$out" >>"$work/dpkg.log"
        return $rc
    done
}
status_is() { [ "$(dpkg-query -W -f='${Status}' veriquill 2>/dev/null)" = "$1" ]; }
not_installed() {
    case "$(dpkg-query -W -f='${Status}' veriquill 2>/dev/null)" in "" | *not-installed) ;; *) return 1 ;; esac
}
manifest_names() {  # manifest_names FILE HOST_PATH FIELD CALLER
    node -e 'const m = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
             process.exit(m.name === "com.brantwell.veriquill" && m.path === process.argv[2] &&
                          m.type === "stdio" && m[process.argv[3]]?.join() === process.argv[4] ? 0 : 1)' "$@"
}
conffiles() { dpkg-query -W -f='${Conffiles}' veriquill | awk 'NF { print $1 }' | sort | tr '\n' ' '; }
grep_conf() { grep -q "$@" "$conf"; }
lacks_conf() { ! grep_conf "$@"; }
lacks() { for f in "$@"; do [ ! -e "$f" ] || return 1; done; }

check "lintian reports no error and no warning" as_user timeout 120 lintian --fail-on error,warning "$u/${deb##*/}"

# --- install --------------------------------------------------------------------------------------
ours=1
if ! dpkg_waiting dpkg -i "$deb"; then
    echo "note: dpkg -i left dependencies to resolve: apt-get -f install"
    dpkg_waiting env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -q -o DPkg::Lock::Timeout=60
fi
check "installed and configured" status_is "install ok installed"
check "every installed file is as packaged (dpkg --verify)" test -z "$(dpkg --verify veriquill 2>&1)"
check "Chromium's manifest names /usr/bin/veriquill-nm and the extension" \
    manifest_names "$chromium_manifest" /usr/bin/veriquill-nm allowed_origins "$EXTENSION"
check "Chrome's manifest is a link to Chromium's" test "$(readlink "$chrome_manifest")" = "$chromium_manifest"
check "Firefox's manifest names /usr/bin/veriquill-nm and the add-on" \
    manifest_names "$firefox_manifest" /usr/bin/veriquill-nm allowed_extensions veriquill@brantwell.com
check "Chromium's manifest is a configuration file" test "$(conffiles)" = "$chromium_manifest "
check "the machine configuration is root's, readable by every user" test "$(stat -c '%U %a' "$conf" 2>&1)" = "root 644"
check "it allows no page yet" test -z "$(reg get "$ORIGINS" AllowedOrigins 2>&1)"
check "it holds the class registration of /usr/bin/veriquill" grep_conf -F '"/usr/bin/veriquill"'
new_packages=$(installed_packages | comm -13 "$work/packages-before.txt" - | grep -vx veriquill)
[ -n "$new_packages" ] && echo "note: apt-get installed dependencies; they stay installed:" $new_packages

# --- the browser session ------------------------------------------------------------------------
as_user openssl req -x509 -newkey rsa:2048 -nodes -keyout "$u/cert-key.pem" -out "$u/cert.pem" -days 2 \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null
# The subshell becomes the server, so that $! is the server itself.
(exec 9<&- "${user_cmd[@]}" node /usr/share/veriquill/demo/serve.mjs --cert "$u/cert.pem" \
    --key "$u/cert-key.pem" --port 0 --host 127.0.0.1 --config "$u/demo-config.json") >"$work/server.out" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening \([0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "the installed demo page server did not start: $(cat "$work/server.out")"
# What the administrator does: the bank's page is allowed in the installed configuration.
allowed=https://localhost:$port
check "the administrator allows the bank's page" reg set "$ORIGINS" AllowedOrigins --multi "$allowed"
check "and switches the smart-card reader driver on" reg set "$DRIVERS" "GemPCTwin USB" 1
check "the Chromium session as $user passes" as_user timeout 150 node "$u/session.mjs" "$u" \
    "$allowed" "https://127.0.0.1:$port" "$version"
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=""

# --- reinstall, remove, purge ---------------------------------------------------------------------
check "reinstalling, as an upgrade does" dpkg_waiting dpkg -i "$deb"
check "keeps the administrator's allowed page" test "$(reg get "$ORIGINS" AllowedOrigins 2>&1)" = "$allowed"
check "removing" dpkg_waiting dpkg -r veriquill
check "leaves only the configuration" status_is "deinstall ok config-files"
check "the programs and Chrome's link are gone" \
    lacks /usr/bin/veriquill /usr/bin/veriquill-nm /usr/bin/veriquill-keytool "$chrome_manifest" "$statedir"
# REGEDIT4 keeps a multi-string as hex bytes, wrapped over lines.
allowed_hex=$(printf '%s' "$allowed" | xxd -p -c 1000 | sed 's/../&,/g')
check "the machine configuration stays, with the allowed page" \
    grep -qF "\"AllowedOrigins\"=hex(7):${allowed_hex}00,00" <(sed -z 's/\\\n *//g' "$conf")
check "without the class registration" lacks_conf -F /usr/bin/veriquill
# A file of the administrator's own beside the package's: purge must leave it.
admin_file=/etc/veriquill/machine.reg.bak
cp "$conf" "$admin_file"
check "purging" dpkg_waiting dpkg --purge veriquill
check "the package is gone" not_installed
check "the configuration files are gone" lacks "$conf" "$conf.lock" "$chromium_manifest"
check "the administrator's own file stays" test -f "$admin_file"
ours=0
rm -f "$admin_file"
rmdir /etc/veriquill
admin_file=""

# --- the file lists after -------------------------------------------------------------------------
snapshot >"$work/after.txt"
if [ -n "$new_packages" ]; then  # the files of dependencies apt-get brought are not the package's
    for p in $new_packages; do dpkg -L "$p"; done | sort -u >"$work/theirs.txt"
    awk 'NR == FNR { theirs[$0] = 1; next } !($1 in theirs)' "$work/theirs.txt" "$work/after.txt" >"$work/after-ours.txt"
    mv "$work/after-ours.txt" "$work/after.txt"
fi
if diff "$work/before.txt" "$work/after.txt" >"$work/diff.txt"; then
    check "the package's folders list what they listed before ($(wc -l <"$work/before.txt") entries)" true
else
    check "the package's folders list what they listed before (< before, > after)" false
    cat "$work/diff.txt"
fi
[ "$failed" -eq 0 ] || sed 's/^/dpkg: /' "$work/dpkg.log" | tail -n 40
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
