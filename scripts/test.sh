#!/usr/bin/env bash
# Builds Veracap and runs every test: the native build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows
# build and its tests under Wine (scripts/windows-tests.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
started=$(date +%s)
for preset in dev asan; do
  echo "== $preset =="
  begun=$(date +%s)
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  built=$(date +%s)
  ctest --preset "$preset"
  echo "== $preset: built in $((built - begun)) s, tested in $(($(date +%s) - built)) s =="
done
scripts/windows-tests.sh
echo "== all tests: $(($(date +%s) - started)) s after the packages were installed =="
