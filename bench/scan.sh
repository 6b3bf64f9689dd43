#!/usr/bin/env bash
# Directory scan: `kel -l` on a 2 GiB archive whose directory lies behind all
# its data, against `cat` reading the same file. Warm cache, median of 3 runs
# (RUNS=n to change).
set -euo pipefail
source "$(dirname "$0")/common.sh"

archive=bench/work/scan-2GiB.kel
make_archive "$archive" scan $((2 << 30))
cat "$archive" >/dev/null  # warm the cache

cat_wall=() cat_rss=() kel_wall=() kel_rss=()
for ((run = 0; run < runs; run++)); do
  timed cat "$archive"
  cat_wall+=("$WALL") cat_rss+=("$RSS")
  timed build/kel -l "$archive"
  kel_wall+=("$WALL") kel_rss+=("$RSS")
done
cw=$(median "${cat_wall[@]}") cr=$(median "${cat_rss[@]}")
kw=$(median "${kel_wall[@]}") kr=$(median "${kel_rss[@]}")
ratio=$(awk "BEGIN { print $kw / ($cw > 0 ? $cw : 0.001) }")

echo "scan: $archive ($(stat -c %s "$archive") bytes), warm cache, median of $runs runs"
awk "BEGIN { printf \"cat     wall %.3f s   peak RSS %.1f MiB\n\", $cw, $cr / 1024
             printf \"kel -l  wall %.3f s   peak RSS %.1f MiB\n\", $kw, $kr / 1024 }"
awk "BEGIN { printf \"ratio kel/cat wall: %.2f\n\", $ratio }"
check "$kr < 16 * 1024" "kel -l peak RSS < 16 MiB"
check "$ratio <= 1.5" "kel -l wall <= 1.5 x cat"
exit "$failed"
