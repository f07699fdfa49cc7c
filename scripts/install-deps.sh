#!/usr/bin/env bash
# Installs what building and testing Veracap needs on a Debian machine.
# Quick when everything is already there.
set -euo pipefail
packages=(cmake make g++ libgtest-dev)
# The Linux platform and its real-device tests: libblkid for volume labels;
# FUSE, loop devices (util-linux) and mkfs for the counterfeit sticks; f3 for
# the side-by-side benchmarks.
packages+=(pkg-config libblkid-dev libfuse3-dev fuse3 util-linux e2fsprogs dosfstools exfatprogs f3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# The Windows cross build and its tests under Wine and Xvfb
# (scripts/windows-tests.sh). Without recommends: Wine's would bring sound,
# media and 32-bit support that the tests never use.
windows_packages=(g++-mingw-w64-x86-64-posix wine wine64 xvfb fonts-wine fonts-liberation)
missing=()
for p in "${windows_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
