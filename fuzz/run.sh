#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# seconds (default 300), FUZZ_JOBS (default 2) at a time, then prints one
# line per run and the total. Each run first replays the committed corpus
# in fuzz/corpus/<target>; the inputs it finds go only into a scratch corpus
# in the build folder, kept for the next run. The inputs in fuzz/slow/ are
# replayed once. Crashes, leaks, timeouts and
# memory failures land in <build>/fuzz/artifacts and fail the script.
#
#   fuzz/run.sh          build and run every target
#   fuzz/run.sh seeds    build and rewrite the seeds of the committed corpora
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-300}
jobs=${FUZZ_JOBS:-2}
targets=(list extract text write)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DKEL_FUZZ=ON -DKEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target make_seeds "${targets[@]/#/fuzz_}" -- --no-print-directory

if [ "${1:-}" = seeds ]; then
  mkdir -p "${targets[@]/#/fuzz/corpus/}" fuzz/slow/extract
  exec "$build/make_seeds" examples/sample.kel fuzz
fi

work=$(realpath "$build")/fuzz
mkdir -p "$work/artifacts"

# What a correct build meets with room, so that only a fault stops a run:
# - An input may cost work in proportion to its directory, never more. Most
#   inputs take a millisecond; the slowest that 4 KiB can describe are paths
#   some 2,000 folders deep, whose folders the system walks again for each
#   one it makes or checks: 0.6-1.3 s here under the sanitizers (such as
#   fuzz/slow/extract/deep-folders-again.kel). 10 s leaves room on a busy
#   machine, and a check whose cost grows with the cube of the depth (12 s
#   natively for that input) fails it.
# - The tool holds at most a 1 MiB block at once (the walk's window, the
#   copy block), and for these inputs at most the 128 KiB scan window: a
#   single allocation of 16 MiB is a fault. The whole process, with
#   AddressSanitizer's shadow and a 16 MiB quarantine of freed blocks, stays
#   near 70 MiB; 256 MiB leaves room and still catches memory that grows
#   with the number of inputs or of stored files.
# - 4 KiB holds a header, a directory of about a hundred records and their
#   data, and any cut of them; a text of 128 bytes holds every case of the
#   text functions (longer ones repeat them, slower).
limits=(-timeout=10 -malloc_limit_mb=16 -rss_limit_mb=256)
declare -A max_len=([list]=4096 [extract]=4096 [text]=128 [write]=4096)
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

# Stopped early, the script stops the fuzzers it started, and only those.
trap 'running=$(jobs -rp); [ -z "$running" ] || kill $running 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM

# Inputs too slow to be fuzzed on (each takes about a second) are replayed
# once: they keep the costs that grow faster than the input from coming back.
failed=0
for target in "${targets[@]}"; do
  slow=(fuzz/slow/"$target"/*)
  [ -e "${slow[0]}" ] || continue
  if ! "$build/fuzz_$target" "${limits[@]}" "${slow[@]}" >"$work/$target-slow.log" 2>&1; then
    echo "fuzz: $target failed on a slow input, see $work/$target-slow.log"
    failed=1
  fi
done

# One run per target; the write target starts from the list target's seeds.
runs=(list extract write text)
declare -A pid_of
for run in "${runs[@]}"; do
  target=${run%#*}
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  mkdir -p "$work/$target"
  echo "fuzz: $run for $seconds s (log: $work/$run.log)"
  "$build/fuzz_$target" "${limits[@]}" -max_len="${max_len[$target]}" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
    "$work/$target" "fuzz/corpus/${target/write/list}" >"$work/$run.log" 2>&1 &
  pid_of[$run]=$!
done

total=0
printf '%-8s %12s %8s %6s %7s %8s %8s  %s\n' run execs exec/s cov ft corpus rss_mb result
for run in "${runs[@]}"; do
  status=0
  wait "${pid_of[$run]}" || status=$?
  log=$work/$run.log
  stat_of() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
  last=$(grep -E '^#[0-9]+' "$log" | grep ' cov: ' | tail -1)
  field() { sed -n "s/.* $1: \([^ ]*\).*/\1/p" <<<"$last"; }
  result=ok
  if [ "$status" -ne 0 ] || ! grep -q '^Done [0-9]* runs' "$log"; then
    failed=1
    if grep -q 'ERROR: libFuzzer: timeout' "$log"; then
      result=timeout
    elif grep -q 'ERROR: LeakSanitizer' "$log"; then
      result=leak
    elif grep -qE 'ERROR: libFuzzer: (out-of-memory|malloc limit)' "$log"; then
      result=out-of-memory
    else
      result=crash
    fi
    result="$result (status $status): $(sed -n 's/.*Test unit written to //p' "$log" | tail -1)"
  fi
  execs=$(stat_of number_of_executed_units)
  total=$((total + ${execs:-0}))
  printf '%-8s %12s %8s %6s %7s %8s %8s  %s\n' "$run" "${execs:-?}" "$(stat_of average_exec_per_sec)" \
    "$(field cov)" "$(field ft)" "$(field corp)" "$(stat_of peak_rss_mb)" "$result"
done
printf '%-8s %12s\n' total "$total"
exit "$failed"
