#!/usr/bin/env bash
# The Quick Size Test against f3probe on the same FUSE-backed counterfeit
# sticks: wall time, bytes written to and read from the stick (counted by the
# FUSE program), and whether each found the real size. Each tool gets a fresh
# stick of each kind, formatted ext4 and mounted as a stick from the shop
# would be (the runner's drive list finds a disk through its drive letters);
# Veracap unmounts it itself, f3probe is given it unmounted. Counting starts
# after mkfs. Prints a Markdown table.
#
# Usage: bench/peers/quick_vs_f3probe.sh [--no-2tb] [--model] [--only TEXT] [--tool NAME]
#   --no-2tb     leave out the "2 TB" stick
#   --model      give the sticks the speed of a USB 2.0 stick instead of memory speed
#   --only TEXT  only the sticks whose name contains TEXT
#   --tool NAME  only veracap or only f3probe
source "$(dirname "$0")/common.sh"
with_2tb=1
only=""
tools="veracap f3probe"
while [ $# -gt 0 ]; do
  case "$1" in
    --no-2tb) with_2tb=0 ;;
    --model) STICK_MODEL="$USB2_MODEL" ;;
    --only) only="$2"; shift ;;
    --tool) tools="$2"; shift ;;
    *) die "unknown argument $1" ;;
  esac
  shift
done

GiB=$((1 << 30))
MiB=$((1 << 20))
# name|claimed|real|beyond|stick options
sticks=(
  "32 GB wrap, 4 GiB real|32000000000|$((4 * GiB))|wrap|"
  "32 GB zeros, 4 GiB real|32000000000|$((4 * GiB))|zeros|"
  "16 GB zeros, 1 GiB real, 256 MiB cache|16000000000|$GiB|zeros|--cache-bytes $((256 * MiB))"
  "8 GB genuine|8000000000|8000000000|wrap|"
  "32 GB genuine|32000000000|32000000000|wrap|"
  "2 TB wrap, 8 GiB real|2000000000000|$((8 * GiB))|wrap|"
)
[ "$with_2tb" -eq 1 ] || unset 'sticks[5]'

# Veracap through the runner on the stick's device path, confirmed with
# --yes. Prints "seconds found_bytes".
run_veracap() {
  local log start end sector
  reset_counters
  log="$SCRATCH/veracap.log"
  start="$(now)"
  "$CLI" quick "$STICK_LOOP" --all --yes >"$log" 2>&1 || true
  [ -n "${BENCH_DEBUG:-}" ] && cat "$log" >&2
  end="$(now)"
  sector="$(sed -nE 's/.*BAD MEMORY from sector ([0-9]+) .*/\1/p' "$log" | head -1)"
  if grep -q "PASSED" "$log"; then
    echo "$(elapsed "$start" "$end") $CLAIMED"
  elif [ -n "$sector" ]; then
    echo "$(elapsed "$start" "$end") $((sector * 512))"
  else
    echo "$(elapsed "$start" "$end") ?"
  fi
}

# f3probe, destructive like the Quick Size Test. Prints "seconds found_bytes".
run_f3probe() {
  local log start end blocks
  umount "$STICK_MNT"
  reset_counters
  log="$SCRATCH/f3probe.log"
  start="$(now)"
  f3probe --destructive --time-ops "$STICK_LOOP" >"$log" 2>&1 || true
  end="$(now)"
  blocks="$(sed -nE 's/.*\*Usable\* size: .*\(([0-9]+) blocks\).*/\1/p' "$log" | head -1)"
  if grep -q "is the real thing" "$log"; then
    echo "$(elapsed "$start" "$end") $CLAIMED"
  elif [ -n "$blocks" ]; then
    echo "$(elapsed "$start" "$end") $((blocks * 512))"
  else
    echo "$(elapsed "$start" "$end") ?"
  fi
}

echo "| Stick | Tool | Wall time (s) | Written (MiB) | Read (MiB) | Real size found |"
echo "|---|---|---:|---:|---:|---|"
for entry in "${sticks[@]}"; do
  IFS='|' read -r name CLAIMED REAL BEYOND STICK_OPTIONS <<<"$entry"
  [ -z "$only" ] || [[ "$name" == *"$only"* ]] || continue
  for tool in $tools; do
    # No journal: on a counterfeit it would lie beyond the real memory.
    stick_up "$CLAIMED" "$REAL" "$BEYOND" ext4 -O ^has_journal
    read -r seconds found < <("run_$tool")
    read -r written read_bytes < <(counters)
    if [ "$found" = "$REAL" ]; then verdict="yes"; else verdict="no ($found)"; fi
    label="Veracap Quick Size Test"
    [ "$tool" = f3probe ] && label="f3probe --destructive"
    echo "| $name | $label | $seconds | $(mib "$written") | $(mib "$read_bytes") | $verdict |"
  done
done
stick_down
