# Sourced by the benchmark scripts: builds, and offers archive making,
# timing under /usr/bin/time -v, medians and PASS/FAIL checks.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
make >/dev/null
mkdir -p bench/work
failed=0
runs=${RUNS:-3}  # runs per measurement; the median is reported

# make_archive <path> <scan|extract> <bytes>: made once, reused afterwards.
make_archive() {
  [[ -f $1 ]] || { build/make_bench_archive "$1.part" "$2" "$3" && mv "$1.part" "$1"; }
}

# timed <command...>: output discarded; sets WALL (seconds) and RSS (KiB).
# The wall time is taken around /usr/bin/time with a microsecond clock, as
# its own "Elapsed" has only 10 ms steps (cat reads 2 GiB in about 0.1 s).
timed() {
  local start=${EPOCHREALTIME/,/.}
  /usr/bin/time -v "$@" >/dev/null 2>bench/work/time.log || { cat bench/work/time.log >&2; return 1; }
  local end=${EPOCHREALTIME/,/.}
  WALL=$(awk "BEGIN { printf \"%.6f\", $end - $start }")
  RSS=$(awk -F': ' '/Maximum resident set size/ {print $2}' bench/work/time.log)
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

# check <awk condition> <label>
check() {
  if awk "BEGIN { exit !($1) }"; then echo "PASS $2"; else echo "FAIL $2"; failed=1; fi
}
