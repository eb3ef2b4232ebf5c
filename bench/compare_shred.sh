#!/usr/bin/env bash
# Runs the secure deletion benchmark beside `shred -n 1 -u` and `dd conv=notrunc,fsync` on a
# file of the same size in the same folder, and prints the throughputs and their ratios.
#
#   bench/compare_shred.sh [SIZE_MIB [FOLDER]]   defaults: 256 MiB in /var/tmp
# Expects the build in build/ (scripts/test or scripts/run makes it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-256}
folder=${2:-/var/tmp}
bench="$top/build/bench/secure_delete_bench"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BENCH=ON >/dev/null
cmake --build "$top/build" -j "$(nproc 2>/dev/null || echo 2)" --target secure_delete_bench >/dev/null

ours=$("$bench" "$size" "$folder")
echo "$ours"
ours_rate=$(sed -E 's/.*= ([0-9.]+) MiB\/s/\1/' <<<"$ours")

file="$folder/compare_shred.data"
head -c "$((size * 1024 * 1024))" /dev/zero | tr '\0' 'q' >"$file"
sync
start=$(date +%s.%N)
shred -n 1 -u "$file"
end=$(date +%s.%N)
shred_rate=$(awk -v s="$size" -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", s / (b - a) }')
echo "shred -n 1 -u: $size MiB = $shred_rate MiB/s"
awk -v o="$ours_rate" -v t="$shred_rate" 'BEGIN { printf "ratio (ours / shred): %.2f\n", o / t }'

# The floor: dd writing zeros over a file of the same size in place, flushed at the end.
head -c "$((size * 1024 * 1024))" /dev/zero | tr '\0' 'q' >"$file"
sync
start=$(date +%s.%N)
dd if=/dev/zero of="$file" bs=1M count="$size" conv=notrunc,fsync status=none
end=$(date +%s.%N)
rm -f "$file"
dd_rate=$(awk -v s="$size" -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", s / (b - a) }')
echo "dd conv=notrunc,fsync: $size MiB = $dd_rate MiB/s"
awk -v o="$ours_rate" -v t="$dd_rate" 'BEGIN { printf "ratio (ours / dd): %.2f\n", o / t }'
