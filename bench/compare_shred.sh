#!/usr/bin/env bash
# Runs the secure deletion benchmark beside `shred -n 1 -u` on a file of the same size in
# the same folder, and prints both throughputs and their ratio (ours / shred's).
#
#   bench/compare_shred.sh [SIZE_MIB [FOLDER]]   defaults: 256 MiB in /var/tmp
# Expects the build in build/ (scripts/test or scripts/run makes it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-256}
folder=${2:-/var/tmp}
bench="$top/build/bench/secure_delete_bench"
[ -x "$bench" ] || { echo "build first: $bench is missing" >&2; exit 1; }

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
