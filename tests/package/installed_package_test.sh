#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks what it put where, starts the
# installed program under a private Xvfb against a local page that saves a backup, waits for
# the backup file, and removes the package again.
#
# It installs and removes a system package, so it runs only where that is wanted:
# in CI (CI=true) or with TARNO_VESK_PACKAGE_TEST=1, as root, with apt-get.
# Usage: installed_package_test.sh [PACKAGE_BUILD_DIR]
set -euo pipefail

readonly SKIP=77
readonly MARK='installed package works'
readonly WAIT_SECONDS=30

skip() { echo "SKIP: $*"; exit $SKIP; }
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

if [ "${CI:-}" != true ] && [ "${TARNO_VESK_PACKAGE_TEST:-}" != 1 ]; then
    skip "set TARNO_VESK_PACKAGE_TEST=1 to build, install and remove the tarno-vesk package on this machine"
fi
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in apt-get dpkg-query; do
    command -v "$tool" >/dev/null || skip "$tool is not available"
done
if dpkg-query -W -f='${Status}' tarno-vesk 2>/dev/null | grep -q 'ok installed'; then
    skip "tarno-vesk is already installed here; the test does not replace or remove it"
fi

for tool in desktop-file-validate:desktop-file-utils appstreamcli:appstream Xvfb:xvfb \
            dpkg-deb:dpkg unshare:util-linux; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is missing: install the ${tool#*:} package"
done

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${1:-$source_dir/build-package}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarno-vesk-package-test.XXXXXX")
xvfb_pid=
program_pid=
installed=
cleanup() {
    local status=$?
    set +e
    [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    if [ -n "$installed" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tarno-vesk >/dev/null 2>&1
    fi
    if [ $status -ne 0 ] && [ $status -ne $SKIP ]; then
        for log in "$work"/*.log; do
            [ -s "$log" ] || continue
            echo "---- ${log##*/} (last lines)" >&2
            tail -n 40 "$log" >&2
        done
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "building the package"
"$source_dir/scripts/package" "$build_dir" >"$work/package.out" 2>"$work/package.log" ||
    { cat "$work/package.out" >&2; fail "scripts/package failed"; }
deb=$(tail -n 1 "$work/package.out")
[ -f "$deb" ] || fail "scripts/package did not print a package path (got '$deb')"
case ${deb##*/} in
    tarno-vesk_*_"$(dpkg --print-architecture)".deb) ;;
    *) fail "unexpected package file name ${deb##*/}" ;;
esac
echo "$deb"

step "checking the package's control fields"
[ "$(dpkg-deb -f "$deb" Package)" = tarno-vesk ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in libwebkitgtk-6.0-4 libgtk-4-1 libgl1-mesa-dri xdg-utils fonts-noto-core; do
    grep -Eq "(^|, )$need( |,|$)" <<<"$depends" || fail "Depends lacks $need"
done
if grep -Eq -- '-dev( |,|$)|build-essential|cmake|pkg-config' <<<"$depends"; then
    fail "Depends names a build-only package"
fi

step "installing it"
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/apt-install.log" 2>&1; then
    # Any partly configured package must still go.
    installed=1
    fail "apt-get install failed"
fi
installed=1
dpkg-query -W -f='${Status}' tarno-vesk | grep -q 'ok installed' || fail "dpkg does not list tarno-vesk as installed"

step "checking the installed files"
readonly program=/usr/bin/tarno-vesk
readonly desktop=/usr/share/applications/tarno-vesk.desktop
readonly icon=/usr/share/icons/hicolor/scalable/apps/tarno-vesk.svg
readonly metainfo=/usr/share/metainfo/com.quillmere.TarnoVesk.metainfo.xml
readonly demo=/usr/share/tarno-vesk/demo
[ -x "$program" ] || fail "$program is missing or not executable"
for f in "$desktop" "$icon" "$metainfo" "$demo/index.html" "$demo/demo.css" "$demo/demo.js"; do
    [ -s "$f" ] || fail "$f is missing or empty"
done
if ldd "$program" | grep -q 'not found'; then
    ldd "$program" >&2
    fail "the installed program lacks shared libraries"
fi
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $metainfo"
grep -qx 'Exec=tarno-vesk' "$desktop" || fail "the menu entry does not start tarno-vesk"
grep -qx 'Icon=tarno-vesk' "$desktop" || fail "the menu entry does not name the installed icon"
grep -q '<launchable type="desktop-id">tarno-vesk.desktop</launchable>' "$metainfo" ||
    fail "the metadata does not launch the installed menu entry"

step "starting the installed program"
mkdir -p "$work/home" "$work/cache" "$work/config" "$work/share" "$work/data" "$work/page"
install -d -m 0700 "$work/runtime"
cat >"$work/page/index.html" <<'HTML'
<!DOCTYPE html>
<html lang="fa" dir="rtl">
<head><meta charset="utf-8"><title>آزمون بسته</title></head>
<body>
<p id="status">…</p>
<script>
'use strict';
window.tarnoVeskDesktop.saveBackup('installed package works');
document.getElementById('status').textContent = 'sent';
</script>
</body>
</html>
HTML

# Xvfb picks a free display itself and reports its number on descriptor 3.
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
    sleep 0.1
done
display_number=$(tr -dc '0-9' <"$work/display")
[ -n "$display_number" ] || fail "Xvfb did not report its display"

sandbox_env=()
if ! unshare --user true 2>/dev/null; then
    echo "user namespaces are refused here: WebKit's sandbox is switched off for this run"
    sandbox_env=(WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1)
fi

env -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
    DISPLAY=":$display_number" GDK_BACKEND=x11 \
    TARNO_VESK_URL="file://$work/page/index.html" \
    TARNO_VESK_DATA_DIR="$work/data" \
    HOME="$work/home" \
    XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/share" \
    XDG_RUNTIME_DIR="$work/runtime" \
    "${sandbox_env[@]}" \
    "$program" >"$work/program.log" 2>&1 &
program_pid=$!

step "waiting for the page's backup"
backup=
deadline=$((SECONDS + WAIT_SECONDS))
while [ $SECONDS -lt $deadline ]; do
    for f in "$work/data/backups"/tarno-vesk-backup-*.json; do
        [ -f "$f" ] && [ "$(cat "$f")" = "$MARK" ] && backup=$f && break 2
    done
    kill -0 "$program_pid" 2>/dev/null || fail "the installed program exited before the backup was saved"
    sleep 0.2
done
[ -n "$backup" ] || fail "no backup reading '$MARK' in $work/data/backups within $WAIT_SECONDS s"
echo "backup saved: ${backup##*/}"
[[ ${backup##*/} =~ ^tarno-vesk-backup-[0-9]{8}-[0-9]{6}\.json$ ]] || fail "unexpected backup name ${backup##*/}"
grep -q "${backup##*/}" "$work/data/config.json" || fail "config.json does not list the backup"

kill -TERM "$program_pid" 2>/dev/null || true
wait "$program_pid" 2>/dev/null || true
program_pid=

step "removing the package"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tarno-vesk >"$work/apt-remove.log" 2>&1 ||
    fail "apt-get remove failed"
installed=
[ ! -e "$program" ] || fail "$program is still there after removal"
for f in "$desktop" "$icon" "$metainfo" "$demo"; do
    [ ! -e "$f" ] || fail "$f is still there after removal"
done
if dpkg-query -W -f='${Status}' tarno-vesk 2>/dev/null | grep -q 'ok installed'; then
    fail "dpkg still lists tarno-vesk as installed"
fi

echo "PASS"
