#!/usr/bin/env bash
# Installs what building and testing Veracap needs on a Debian machine; quick
# when everything is already there.
#   scripts/install-deps.sh        everything the tests need
#   scripts/install-deps.sh core   only what building veracap-cli needs
set -euo pipefail

# apt-get install of the packages not installed yet; extra arguments before
# "--" go to apt-get.
install_missing() {
  local options=()
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${options[@]}" "${missing[@]}"
}

# The build: compiler, CMake, GoogleTest, libblkid for the Linux platform's volume
# labels, nlohmann-json for the runner's JSON report, libfdisk for its fix.
install_missing -- cmake make g++ libgtest-dev pkg-config libblkid-dev nlohmann-json3-dev \
  libfdisk-dev
[ "${1:-}" = core ] && exit 0

# The Linux platform's real-device tests: FUSE, loop devices (util-linux) and
# mkfs for the counterfeit sticks; f3 for the side-by-side benchmarks.
install_missing -- libfuse3-dev fuse3 util-linux e2fsprogs dosfstools exfatprogs f3
# The runner's terminal test (script), its Debian package (dpkg-shlibdeps)
# and man page check.
install_missing -- bsdutils dpkg-dev man-db

# The Windows cross build and its tests under Wine and Xvfb
# (scripts/windows-tests.sh). Without recommends: Wine's would bring sound,
# media and 32-bit support that the tests never use.
install_missing --no-install-recommends -- \
  g++-mingw-w64-x86-64-posix wine wine64 xvfb fonts-wine fonts-liberation
