#!/usr/bin/env bash
# Builds Veracap and runs every test: the native build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows
# build and its tests under Wine (scripts/windows-tests.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in dev asan; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
scripts/windows-tests.sh
