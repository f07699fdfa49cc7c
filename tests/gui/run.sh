#!/usr/bin/env bash
# The GUI test: veracap-emulated.exe driven through its real window under
# Wine, on a virtual X display (Xvfb), by veracap-gui-driver.exe (mouse input,
# message boxes answered, results read back). Screenshots go to
# build/screenshots/. Expects the mingw build (scripts/windows-tests.sh runs
# this after it) and a Wine prefix in $WINEPREFIX.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build/mingw
: "${WINEPREFIX:?set by scripts/windows-tests.sh}"
export WINEDEBUG=${WINEDEBUG:--all}

# A Linux path as Wine names it (drive Z: is the root).
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

xvfb_pid=""
display_file=$(mktemp)
settings=$(mktemp --suffix=.reg)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -f "$display_file" "$settings"
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

# Xvfb picks a free display itself and tells it on file descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!

# Meanwhile, without a display, once per prefix: everything in one Wine
# virtual desktop of 1024 x 768, where Wine draws the window frames itself as
# Windows does (no window manager here), and a crash that waits for no
# debugger. Wine stops afterwards, so that the test's programs open the
# desktop afresh.
if ! grep -qx '"Default"="1024x768"' "$WINEPREFIX/user.reg" 2>/dev/null; then
  cat >"$settings" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Auto"="0"
"Debugger"=""
REG
  DISPLAY="" wine reg import "$(windows_path "$settings")" >/dev/null 2>&1
  wineserver -w
fi

for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"

# The program in a folder of its own, with the test's drives beside it.
test_dir=$root/build/gui-test
rm -rf "$test_dir" "$root/build/screenshots"
mkdir -p "$test_dir" "$root/build/screenshots"
cp "$build/veracap-emulated.exe" "$root/tests/gui/devices.manifest" "$test_dir/"

status=0
timeout 600 wine "$build/veracap-gui-driver.exe" "$(windows_path "$test_dir/veracap-emulated.exe")" \
  "$(windows_path "$root/build/screenshots")" || status=$?

rm -rf "$test_dir/images"
exit "$status"
