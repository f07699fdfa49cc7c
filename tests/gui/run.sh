#!/usr/bin/env bash
# The GUI test: veracap-emulated.exe driven through its real window under
# Wine, on a virtual X display (Xvfb), by veracap-gui-driver.exe (mouse and
# keyboard input, message boxes answered, results read back). Screenshots go
# to build/screenshots/. Expects the mingw build (scripts/windows-tests.sh
# runs this after it) and a Wine prefix in $WINEPREFIX. VERACAP_GUI_SKIP_FULL=1
# runs only the driver's second part (closing the window during a test).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build/mingw
: "${WINEPREFIX:?set by scripts/windows-tests.sh}"
export WINEDEBUG=${WINEDEBUG:--all}

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -f "$display_file"
}
display_file=$(mktemp)
trap cleanup EXIT
trap 'cleanup; exit 130' INT TERM

# Xvfb picks a free display itself and tells it on file descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"

# Everything in one Wine virtual desktop of 1024 x 768: Wine draws the
# window frames itself, as Windows does (no window manager here).
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
# A crash must not wait for a debugger.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f \
  >/dev/null 2>&1
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
  >/dev/null 2>&1
# The desktop those commands opened had the old settings: let Wine stop, so
# that the test's programs open the virtual desktop afresh.
wineserver -w

# The program in a folder of its own, with the test's drives beside it.
test_dir=$root/build/gui-test
rm -rf "$test_dir" "$root/build/screenshots"
mkdir -p "$test_dir" "$root/build/screenshots"
cp "$build/veracap-emulated.exe" "$test_dir/"
cp "$root/tests/gui/devices.manifest" "$test_dir/"

program=$(winepath -w "$test_dir/veracap-emulated.exe")
shots=$(winepath -w "$root/build/screenshots")
status=0
timeout 600 wine "$build/veracap-gui-driver.exe" "$program" "$shots" || status=$?

rm -rf "$test_dir/images"
exit "$status"
