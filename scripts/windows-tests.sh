#!/usr/bin/env bash
# The Windows build and its tests, on Linux: cross-compiles everything with
# MinGW-w64 (the mingw preset), runs the unit tests under Wine with a drive
# letter mapped to a folder, then drives the emulated-drives program through
# its real window under Wine and Xvfb (tests/gui/run.sh).
#
# Wine gets a prefix of its own under build/ (made on first use) and no
# debug output; its server is stopped on every way out.
#   scripts/windows-tests.sh          build, unit tests, GUI test
#   scripts/windows-tests.sh --no-gui build and unit tests only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

gui=1
[ "${1:-}" = "--no-gui" ] && gui=0

export WINEPREFIX="$root/build/wine-prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
trap 'stop_wine; exit 130' INT TERM

started=$(date +%s)
echo "== mingw =="
cmake --preset mingw >/dev/null
cmake --build --preset mingw

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== wine prefix =="
  wineboot --init >/dev/null 2>&1
  wineserver -w
  # Wine's own fonts (MS Sans Serif, Tahoma, Marlett for the caption
  # buttons) where this Wine build looks for them: the prefix's Fonts folder.
  cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi

# Drive T: is a folder with a label, for the volume paths of the platform.
drive_dir="$root/build/wine-drive-t"
rm -rf "$drive_dir"
mkdir -p "$drive_dir"
printf 'VCAPTESTVOL' >"$drive_dir/.windows-label"
ln -sfn "$drive_dir" "$WINEPREFIX/dosdevices/t:"
export VERACAP_TEST_DRIVE="T:"
export VERACAP_TEST_DRIVE_LABEL="VCAPTESTVOL"

echo "== unit tests under Wine =="
# The counterfeit property test draws its full count in the native builds;
# under Wine, where each drawn device costs many times more, a sample.
VERACAP_PROPERTY_GEOMETRIES=16 ctest --preset mingw

if [ "$gui" -eq 1 ] && [ -x tests/gui/run.sh ]; then
  echo "== GUI test under Wine and Xvfb =="
  tests/gui/run.sh
fi
echo "Windows build and tests: $(($(date +%s) - started)) s"
