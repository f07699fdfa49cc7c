#!/usr/bin/env bash
# The main job: the Quick Size Test on the bundled emulated "32 GB" USB stick
# that holds 4 GiB (disk 2, drive F:), chosen by its drive letter as a user would.
# (Without --devices the runner would work on the machine's real disks.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh core
cmake --preset dev >/dev/null
cmake --build --preset dev --target veracap-cli
status=0
build/dev/veracap-cli --devices data/devices.manifest --drive F: quick --yes "$@" || status=$?
# 1 is the FAILED verdict this counterfeit earns: the job itself succeeded.
if [ "$status" -le 1 ]; then exit 0; fi
exit "$status"
