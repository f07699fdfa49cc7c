# Shared pieces of the peer benchmarks: counterfeit sticks served by
# counterfeit_fuse, attached with losetup, optionally formatted and mounted;
# everything lives under one scratch folder and is removed on every way out.
# Sourced by the scripts beside it; needs root, /dev/fuse, losetup, f3.

set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${BUILD:-$ROOT/build/dev}"
CLI="$BUILD/veracap-cli"
FUSE_PROGRAM="$BUILD/counterfeit_fuse"
SCRATCH="/dev/shm/veracap-bench-$$"
# The speed of the FUSE stick: empty for as fast as memory; --model gives it
# the speed of a plain USB 2.0 stick (see bench/README.md).
USB2_MODEL="--read-mibps 25 --write-mibps 10 --latency-us 500 --flush-us 2000"
STICK_MODEL=""

die() { echo "error: $*" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || die "needs root (loop devices, mounts)"
[ -e /dev/fuse ] || die "needs /dev/fuse"
for tool in losetup f3probe f3write f3read fusermount3 mkfs.ext4; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done
[ -x "$CLI" ] && [ -x "$FUSE_PROGRAM" ] || die "build first: cmake --preset dev && cmake --build --preset dev"

STICK_DIR=""
STICK_LOOP=""
STICK_MNT=""

# Undo the current stick: file system, loop device, FUSE mount.
stick_down() {
  if [ -n "$STICK_MNT" ] && mountpoint -q "$STICK_MNT"; then umount "$STICK_MNT"; fi
  if [ -n "$STICK_LOOP" ]; then losetup -d "$STICK_LOOP" 2>/dev/null || true; fi
  if [ -n "$STICK_DIR" ] && mountpoint -q "$STICK_DIR/fuse"; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      fusermount3 -u "$STICK_DIR/fuse" 2>/dev/null && break
      sleep 0.2
    done
  fi
  [ -n "$STICK_DIR" ] && rm -rf "$STICK_DIR"
  STICK_DIR="" STICK_LOOP="" STICK_MNT=""
}
cleanup() { stick_down; rm -rf "$SCRATCH"; }
trap cleanup EXIT INT TERM

# stick_up CLAIMED_BYTES REAL_BYTES wrap|zeros [FS_TYPE [MKFS_OPTION...]]
# Sets STICK_LOOP (and STICK_MNT when a file system is made).
stick_up() {
  stick_down
  STICK_DIR="$SCRATCH/stick"
  mkdir -p "$STICK_DIR/fuse"
  # shellcheck disable=SC2086  # STICK_MODEL is a list of options
  # shellcheck disable=SC2086  # STICK_OPTIONS too (a cache, write protection)
  "$FUSE_PROGRAM" --claimed "$1" --real "$2" --beyond "$3" --backing "$STICK_DIR/memory.img" \
    ${STICK_MODEL:-} ${STICK_OPTIONS:-} "$STICK_DIR/fuse"
  STICK_LOOP="$(losetup --find --show "$STICK_DIR/fuse/disk")"
  if [ -n "${4:-}" ]; then
    # Few inodes: mkfs writes little even on a "2 TB" stick.
    mkfs."$4" -q -F -m 0 -N 4096 -L VCAPBENCH -E lazy_itable_init=0,lazy_journal_init=0 \
      "${@:5}" "$STICK_LOOP" >/dev/null
    STICK_MNT="$STICK_DIR/mnt"
    mkdir -p "$STICK_MNT"
    mount "$STICK_LOOP" "$STICK_MNT"
  fi
  reset_counters
}

reset_counters() { echo reset > "$STICK_DIR/fuse/stats"; }
# Prints "written read" in bytes.
counters() {
  sed -E 's/.*bytes_read=([0-9]+) bytes_written=([0-9]+).*/\2 \1/' "$STICK_DIR/fuse/stats"
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
