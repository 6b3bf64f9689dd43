#!/usr/bin/env bash
# Extraction: `kel -d` of an archive holding one stored file, for 1 GiB and
# 256 MiB (the memory must not grow with the size).
# Median of 3 runs (RUNS=n to change).
set -euo pipefail
source "$(dirname "$0")/common.sh"

out=bench/work/out
for mib in 1024 256; do
  archive=bench/work/extract-${mib}MiB.kel
  make_archive "$archive" extract $((mib << 20))
  cat "$archive" >/dev/null  # warm the cache
  walls=() rss=()
  for ((run = 0; run < runs; run++)); do
    rm -rf "$out" && sync
    timed build/kel -d "$archive" "$out"
    walls+=("$WALL") rss+=("$RSS")
  done
  [[ $(stat -c %s "$out/data/file00000.dat") == $((mib << 20)) ]] || { echo "wrong output size" >&2; exit 1; }
  w=$(median "${walls[@]}") r=$(median "${rss[@]}")
  awk "BEGIN { printf \"extract %4d MiB: wall %.3f s   throughput %.0f MiB/s   peak RSS %.1f MiB\n\",
               $mib, $w, $mib / ($w > 0 ? $w : 0.01), $r / 1024 }"
  check "$r < 8 * 1024" "kel -d peak RSS < 8 MiB ($mib MiB file)"
done
rm -rf "$out"
exit "$failed"
