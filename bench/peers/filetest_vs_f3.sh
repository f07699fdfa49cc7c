#!/usr/bin/env bash
# The Volume File Test against f3write + f3read, and a plain dd of the same
# size with direct I/O, on the same mounted genuine volume (ext4 on a
# FUSE-backed stick): write throughput, total time, bytes moved. Prints a
# Markdown table; ratios are against dd.
#
# Usage: bench/peers/filetest_vs_f3.sh [--size-mib N] [--model]
#   --size-mib N  the stick's size (default 2048)
#   --model       give the stick the speed of a USB 2.0 stick instead of memory speed
source "$(dirname "$0")/common.sh"
size_mib=2048
while [ $# -gt 0 ]; do
  case "$1" in
    --size-mib) size_mib="$2"; shift ;;
    --model) STICK_MODEL="$USB2_MODEL" ;;
    *) die "unknown argument $1" ;;
  esac
  shift
done

size=$((size_mib << 20))
stick_up "$size" "$size" wrap ext4
letter="$("$CLI" list 2>&1 >/dev/null | sed -nE "s|^  ([A-Z]): $STICK_LOOP .*|\1|p")"
[ -n "$letter" ] || die "the runner gives $STICK_MNT no drive letter"

# Veracap. The runner prints the log as it grows and each line is read when
# the next one begins (the log puts the line break in front of a line): the
# line "Writing N x 200MB files..." arrives as the first file begins, and the
# last "... Writing E:\VCAPTESTn.tmp" line as the read-back begins. So the
# write phase is timed from the one to the other, without the start-up, the
# clean-up and the free-space query before it.
reset_counters
start="$(now)"
while IFS= read -r line; do
  echo "$(now) $line" >>"$SCRATCH/veracap.log"
done < <("$CLI" --all-drives --drive "$letter:" filetest --yes 2>&1 || true)
end="$(now)"
read -r v_written v_read < <(counters)
write_start="$(awk '$2 == "Writing" && $4 == "x" { print $1; exit }' "$SCRATCH/veracap.log")"
write_end="$(awk '$3 == "Writing" && $4 ~ /VCAPTEST/ { t = $1 } END { print t }' "$SCRATCH/veracap.log")"
v_write_s="$(elapsed "$write_start" "$write_end")"
v_total_s="$(elapsed "$start" "$end")"
tested_mib="$(sed -nE 's/^[0-9.]+ ([0-9]+)MB of filespace was tested\./\1/p' "$SCRATCH/veracap.log")"
[ -n "$tested_mib" ] || die "the Volume File Test did not finish: $(tail -5 "$SCRATCH/veracap.log")"
verdict_v="$(grep -oE 'PASSED|TEST FAILED' "$SCRATCH/veracap.log" | head -1)"

# f3write then f3read on the same free space.
reset_counters
start="$(now)"
f3write "$STICK_MNT" >"$SCRATCH/f3write.log" 2>&1
mid="$(now)"
f3read "$STICK_MNT" >"$SCRATCH/f3read.log" 2>&1
end="$(now)"
read -r f_written f_read < <(counters)
f_write_s="$(elapsed "$start" "$mid")"
f_total_s="$(elapsed "$start" "$end")"
f_mib="$(awk -v b="$f_written" 'BEGIN { printf "%d", b / 1048576 }')"
verdict_f="$(grep -q 'Data LOST: 0.00 Byte' "$SCRATCH/f3read.log" && echo "no data lost" || echo "data lost")"
rm -f "$STICK_MNT"/*.h2w

# dd of the Volume File Test's size (in 4 MiB blocks): written direct and synced, read
# direct.
reset_counters
count=$((tested_mib / 4))
start="$(now)"
dd if=/dev/zero of="$STICK_MNT/dd.bin" bs=4M count="$count" oflag=direct conv=fsync status=none
mid="$(now)"
dd if="$STICK_MNT/dd.bin" of=/dev/null bs=4M iflag=direct status=none
end="$(now)"
read -r d_written d_read < <(counters)
d_write_s="$(elapsed "$start" "$mid")"
d_total_s="$(elapsed "$start" "$end")"
rm -f "$STICK_MNT/dd.bin"

rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
d_rate="$(rate "$d_written" "$d_write_s")"
v_rate="$(rate "$v_written" "$v_write_s")"
f_rate="$(rate "$f_written" "$f_write_s")"

echo "Genuine ${size_mib} MiB stick, ext4; Veracap tested ${tested_mib} MiB, f3write filled ${f_mib} MiB."
echo "Veracap's write time is its write phase; its total time includes the start-up (drive list),"
echo "the clean-up and the free-space query."
echo
echo "| Tool | Written (MiB) | Read (MiB) | Write time (s) | Write MiB/s | Write vs dd | Total time (s) | Total vs dd | Verdict |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---|"
echo "| Veracap Volume File Test | $(mib "$v_written") | $(mib "$v_read") | $v_write_s | $v_rate | $(ratio "$v_rate" "$d_rate") | $v_total_s | $(ratio "$v_total_s" "$d_total_s") | $verdict_v |"
echo "| f3write + f3read | $(mib "$f_written") | $(mib "$f_read") | $f_write_s | $f_rate | $(ratio "$f_rate" "$d_rate") | $f_total_s | $(ratio "$f_total_s" "$d_total_s") | $verdict_f |"
echo "| dd direct write + read | $(mib "$d_written") | $(mib "$d_read") | $d_write_s | $d_rate | 1.00 | $d_total_s | 1.00 | - |"
