#!/usr/bin/env bash
# make bench: kel against GNU tar on the same trees, written once as a kel
# archive and as a tar file by build/make_bench_tree. Each comparison runs
# the two commands in turn (warm cache, a fresh empty folder and a sync before
# every extraction), RUNS times (default 5), and reports medians:
#   wall and CPU (user + system) seconds, their kel/tar ratios, kel's peak
#   memory, and system calls per stored file (strace -c -f, one extra run).
# Two floors: cat of the archive to /dev/null (reading), and "create", which
# makes the same files with nothing but mkdir, open, write and close (the
# kernel's share of any extraction). Then the listing of a
# directory of ~4 GiB of zero records, a 600 MB merge against dd, and the
# micro-benchmarks.
# Scratch space: $BUILD/bench-work, removed at the end. The extractions go to
# a tmpfs mounted there when that is allowed (DEST=disk to keep them on the
# build's disk): on ext4, creating files soon after as many were deleted
# spends seconds in the inode allocator, for tar and kel alike, and hides
# the tools' own work. Then once more to an ext4 file system made anew for
# every run in an image on the build's disk, loop-mounted, sync included.
# kel runs on one thread and on THREADS (default 2), whose output and tree
# must be those of one thread, for the sample archive too.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
RUNS=${RUNS:-5}
SHAPES=${SHAPES:-"big small many scan sparse merge loop"}
work=$BUILD/bench-work
rm -rf "$work"
mkdir -p "$work/dest"
mkdir -p "$work/ext4"
trap 'umount "$work/dest" "$work/ext4" 2>/dev/null || true; rm -rf "$work"' EXIT
dest=disk
# The loop holds its archive three times and the extracted files once.
if [[ ${DEST:-tmpfs} == tmpfs ]] && mount -t tmpfs -o size=$((8 + 4 * ${LOOP_GIB:-1}))g tmpfs "$work/dest" 2>/dev/null; then
  dest=tmpfs
fi
command -v strace >/dev/null || { apt-get install -y -qq strace >/dev/null || apt-get update -qq && apt-get install -y -qq strace >/dev/null; }
kel=$BUILD/kel
# The threads of the parallel extraction.
threads=${THREADS:-2}
failed=0

# measure <name> <before-each> <command...>: one timed run, appended to the
# series <name>: wall seconds, CPU seconds, peak KiB.
declare -A wall cpu rss
measure() {
  local name=$1 before=$2
  shift 2
  eval "$before"
  local start=${EPOCHREALTIME/,/.}
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || { cat "$work/stderr" >&2; }
  local end=${EPOCHREALTIME/,/.}
  read -r user sys peak <"$work/time"
  wall[$name]+="$(awk "BEGIN { print $end - $start }") "
  cpu[$name]+="$(awk "BEGIN { print $user + $sys }") "
  rss[$name]+="$peak "
}
median() { printf '%s\n' $1 | sort -g | sed -n "$(( ($(wc -w <<<"$1") + 1) / 2 ))p"; }

# calls <command...>: system calls per stored file ($files), from strace.
calls() {
  strace -f -c -o "$work/strace" "$@" >/dev/null 2>&1 || true
  awk -v files="$files" '$NF == "total" { printf "%.2f", $4 / files }' "$work/strace"
}

row() {  # row <label> <series> [calls]
  printf '%-16s %9.4f %9.4f %10.1f %10s\n' "$1" "$(median "${wall[$2]}")" "$(median "${cpu[$2]}")" \
    "$(awk "BEGIN { print $(median "${rss[$2]}") / 1024 }")" "${3:--}"
}
ratio() { awk "BEGIN { d = $(median "$2"); if (d > 0) printf \"%.2f\", $(median "$1") / d; else print \"-\" }"; }
check() {  # check <awk condition> <label>
  if awk "BEGIN { exit !($1) }"; then echo "PASS $2"; else echo "FAIL $2"; failed=1; fi
}
table_head() { printf '%-16s %9s %9s %10s %10s\n' "" "wall s" "cpu s" "peak MiB" "calls/file"; }

# fresh <folder>: an empty folder to extract into. On ext4 it lies on a file
# system made anew in an image on the build's disk, loop-mounted.
fresh() {
  if [[ $1 == "$work"/ext4/* ]]; then
    umount "$work/ext4" 2>/dev/null || true
    mkfs.ext4 -q -F "$work/ext4.img" 3G >/dev/null
    mount -o loop,noinit_itable "$work/ext4.img" "$work/ext4"
  else
    rm -rf "$1"
  fi
  mkdir -p "$1"
  sync
}

# same_output <archive>: kel -d -j 1 and -j $threads print the same bytes and
# write the same tree.
same_output() {
  local one=$work/dest/one parallel=$work/dest/parallel
  rm -rf "$one" "$parallel"
  "$kel" -d -j 1 "$1" "$work/dest/x" >"$work/one.out" && mv "$work/dest/x" "$one"
  "$kel" -d -j "$threads" "$1" "$work/dest/x" >"$work/parallel.out" && mv "$work/dest/x" "$parallel"
  cmp -s "$work/one.out" "$work/parallel.out" && diff -r "$one" "$parallel" >/dev/null
  local same=$?
  rm -rf "$one" "$parallel"
  return $same
}

compare_extract() {  # compare_extract <shape> <tmpfs|disk|ext4>
  local dest=$work/dest sync=""
  if [[ $2 == ext4 ]]; then dest=$work/ext4/x sync="&& sync -f $work/ext4"; fi
  local kelDest=$dest/kel tarDest=$dest/tar
  for ((run = 0; run < RUNS; run++)); do
    measure kel1 "fresh $kelDest" sh -c "$kel -d -j 1 $work/$1.kel $kelDest $sync"
    measure kel "fresh $kelDest" sh -c "$kel -d -j $threads $work/$1.kel $kelDest $sync"
    measure tar "fresh $tarDest" sh -c "tar -xf $work/$1.tar -C $tarDest $sync"
    [[ $2 == ext4 ]] || measure cat "" cat "$work/$1.kel"
    measure create "fresh $dest/create" sh -c "$BUILD/make_bench_tree create $1 $dest/create $sync"
  done
  local kel1Calls="" kelCalls="" tarCalls=""
  if [[ $2 != ext4 ]]; then
    diff -r "$kelDest" "$tarDest" >/dev/null || { echo "kel and tar extracted different trees" >&2; exit 1; }
    rm -rf "$kelDest" "$tarDest" "$dest/create"; mkdir "$kelDest" "$tarDest"
    kel1Calls=$(calls "$kel" -d -j 1 "$work/$1.kel" "$kelDest")
    rm -rf "$kelDest"; mkdir "$kelDest"
    kelCalls=$(calls "$kel" -d -j "$threads" "$work/$1.kel" "$kelDest")
    tarCalls=$(calls tar -xf "$work/$1.tar" -C "$tarDest")
    rm -rf "$kelDest" "$tarDest"
  fi
  echo "-- to $2${sync:+, sync included}"
  table_head
  row "kel -d -j 1" kel1 "$kel1Calls"
  row "kel -d -j $threads" kel "$kelCalls"
  row "tar -xf" tar "$tarCalls"
  [[ $2 == ext4 ]] || row "cat (floor)" cat
  row "create (floor)" create
  printf 'kel/tar: -j 1 wall %s, cpu %s; -j %s wall %s, cpu %s; create/tar: wall %s, cpu %s\n' \
    "$(ratio "${wall[kel1]}" "${wall[tar]}")" "$(ratio "${cpu[kel1]}" "${cpu[tar]}")" "$threads" \
    "$(ratio "${wall[kel]}" "${wall[tar]}")" "$(ratio "${cpu[kel]}" "${cpu[tar]}")" \
    "$(ratio "${wall[create]}" "${wall[tar]}")" "$(ratio "${cpu[create]}" "${cpu[tar]}")"
  KEL_CALLS=$kel1Calls
}

compare_list() {  # compare_list <shape>
  for ((run = 0; run < RUNS; run++)); do
    measure kell "" "$kel" -l "$work/$1.kel"
    measure tarl "" tar -tvf "$work/$1.tar"
  done
  row "kel -l" kell
  row "tar -tvf" tarl
  printf 'kel/tar: wall %s, cpu %s\n' "$(ratio "${wall[kell]}" "${wall[tarl]}")" "$(ratio "${cpu[kell]}" "${cpu[tarl]}")"
}

same_output examples/sample.kel && echo "PASS sample: -j 1 and -j $threads print the same and write the same" ||
  { echo "FAIL sample: -j 1 and -j $threads print or write differently"; failed=1; }
echo "make bench: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), median of $RUNS, warm cache, extracting to $dest"
for shape in $SHAPES; do
  wall=() cpu=() rss=()
  case $shape in
    big | small | many)
      files=$("$BUILD/make_bench_tree" "$shape" "$work/$shape")
      cat "$work/$shape.kel" "$work/$shape.tar" >/dev/null
      echo
      echo "== $shape: $files files; kel archive $(du -m --apparent-size "$work/$shape.kel" | cut -f1) MiB, tar $(du -m --apparent-size "$work/$shape.tar" | cut -f1) MiB"
      if [[ $shape != many ]]; then
        if same_output "$work/$shape.kel"; then echo "PASS $shape: -j 1 and -j $threads print the same and write the same"
        else echo "FAIL $shape: -j 1 and -j $threads print or write differently"; failed=1; fi
        compare_extract "$shape" "$dest"
      else
        table_head
      fi
      case $shape in
        big)
          check "$(ratio "${cpu[kel1]}" "${cpu[tar]}") <= 0.7" "big: kel -d -j 1 CPU at most 0.7 x tar"
          check "$(median "${rss[kel1]}") < 8 * 1024" "big: kel -d -j 1 peak memory under 8 MiB"
          check "$(ratio "${wall[kel]}" "${wall[tar]}") <= 0.55" "big: kel -d -j $threads wall at most 0.55 x tar"
          check "$(median "${rss[kel]}") < (16 + $threads) * 1024" \
            "big: kel -d -j $threads peak memory under 16 MiB and a MiB per thread" ;;
        small)
          check "$(ratio "${wall[kel]}" "${wall[tar]}") <= 0.6" "small: kel -d -j $threads wall at most 0.6 x tar"
          check "$(ratio "${cpu[kel]}" "${cpu[tar]}") <= 1.0" "small: kel -d -j $threads CPU at most 1.0 x tar"
          # open, write, close, and the fstat whose facts go into the record
          check "$KEL_CALLS <= 4.1" "small: kel -d -j 1 at most 4 system calls per stored file" ;;
      esac
      [[ $shape == many ]] || compare_extract "$shape" ext4
      compare_list "$shape"
      case $shape in
        big | small) ;;
        many)
          check "$(ratio "${wall[kell]}" "${wall[tarl]}") <= 0.25" "many: kel -l wall at most 0.25 x tar -tvf"
          check "$(median "${rss[kell]}") < 16 * 1024" "many: kel -l peak memory under 16 MiB" ;;
      esac
      rm -f "$work/$shape.kel" "$work/$shape.tar" ;;
    scan)
      "$BUILD/make_bench_tree" scan "$work/scan.kel"
      cat "$work/scan.kel" >/dev/null
      echo
      echo "== scan: kel -l of 1 GiB whose directory lies behind the data"
      for ((run = 0; run < RUNS; run++)); do
        measure kell "" "$kel" -l "$work/scan.kel"
        measure cat "" cat "$work/scan.kel"
      done
      table_head
      row "kel -l" kell
      row "cat (floor)" cat
      check "$(ratio "${wall[kell]}" "${wall[cat]}") <= 1.5" "scan: kel -l wall at most 1.5 x cat"
      rm -f "$work/scan.kel" ;;
    merge)
      "$BUILD/make_bench_tree" merge "$work/merge.kel"
      address=$("$kel" -l "$work/merge.kel" | awk '/movie.bin/ { print $1 }')
      # The replacement holds the stored bytes; dd writes them as the merge does, scrambled.
      "$kel" -e "$work/merge.kel" "$address" 600000000 "$work/movie.bin" >/dev/null
      "$kel" -e "$work/movie.bin" 0 -1 "$work/movie.xor" >/dev/null
      cat "$work/merge.kel" "$work/movie.bin" "$work/movie.xor" >/dev/null
      echo
      echo "== merge: kel -m of a 600 MB replacement against dd conv=notrunc of the same bytes"
      # kel saves the old bytes behind the archive's end and syncs, writes the
      # new ones in place and syncs, then cuts the saved copy off: the floor of
      # such a crash-safe overwrite is the same done by two synced dd runs.
      end=$(stat -c %s "$work/merge.kel")
      for ((run = 0; run < RUNS; run++)); do
        measure kelm "" "$kel" -m "$work/merge.kel" "$work/movie.bin"
        measure dd "" dd if="$work/movie.xor" of="$work/merge.kel" bs=1M oflag=seek_bytes seek=$((address)) \
          conv=notrunc status=none
        measure floor "" sh -c "dd if='$work/merge.kel' of='$work/merge.kel' bs=1M iflag=skip_bytes,count_bytes \
          skip=$((address)) count=600000000 oflag=seek_bytes seek=$end conv=notrunc,fsync status=none &&
          dd if='$work/movie.xor' of='$work/merge.kel' bs=1M oflag=seek_bytes seek=$((address)) conv=notrunc,fsync \
          status=none && truncate -s $end '$work/merge.kel'"
      done
      table_head
      row "kel -m" kelm
      row "dd" dd
      row "safe (floor)" floor
      printf 'kel/dd: wall %s, cpu %s; kel/floor: wall %s\n' "$(ratio "${wall[kelm]}" "${wall[dd]}")" \
        "$(ratio "${cpu[kelm]}" "${cpu[dd]}")" "$(ratio "${wall[kelm]}" "${wall[floor]}")"
      check "$(ratio "${wall[kelm]}" "${wall[floor]}") <= 1.25" "merge: kel -m wall at most 1.25 x the crash-safe floor"
      check "$(median "${rss[kelm]}") < 8 * 1024" "merge: kel -m peak memory under 8 MiB"
      rm -f "$work/merge.kel" "$work/movie.bin" "$work/movie.xor" ;;
    loop)
      # The translator's loop on tmpfs: extract everything, edit the texts
      # (LOOP_EDITS of the 2,000, default all: a third grown, a third shrunk,
      # a third the same size), put them back with one -u, check, LOOP_ROUNDS
      # rounds (default 4); then -c. Each round times -u with the record that
      # -d and the -u before wrote (once, under strace, which counts the bytes
      # it reads, and its syncs), against today's put-back that reads everything (--full)
      # and the one with no record for its pair (the fallback), each RUNS
      # times on a copy of the archive, and once more under strace. Beside
      # it, the same rounds put back by a loop of -r, one per text (LOOP_GIB
      # 1 only). LOOP_GIB (default 1) scales the archive.
      at=$work/dest
      gib=${LOOP_GIB:-1}
      edits=${LOOP_EDITS:-2000}
      export XDG_CACHE_HOME=$at/cache
      files=$("$BUILD/make_bench_tree" loop "$at/loop" "$gib")
      rm -f "$at/loop.tar"
      [[ $gib != 1 ]] || cp "$at/loop.kel" "$at/r.kel"
      directory=$(( $("$kel" -l "$at/loop.kel" | awk 'NR == 3 { print $1 }') - 34 ))
      echo
      echo "== loop: $files files, $(du -m --apparent-size "$at/loop.kel" | cut -f1) MiB, directory $directory bytes;" \
        "$edits texts edited a round"
      measure extract "rm -rf $at/w" "$kel" -d -q "$at/loop.kel" "$at/w"
      [[ $gib != 1 ]] || cp -r "$at/w" "$at/wr"
      # reads <log>: the bytes that the reads in an strace log returned.
      reads() { awk -F'= ' '/^[0-9]+ +(read|pread64)\(/ && $NF + 0 > 0 { n += $NF } END { print n + 0 }' "$1"; }
      traced() { strace --seccomp-bpf -f -e trace=read,pread64,fsync,fdatasync -o "$work/reads" "$@" >/dev/null 2>&1; }
      printf '%-6s %9s %9s %9s %11s %11s %11s %11s %6s %6s %14s %9s\n' round "-u s" "--full s" "none s" \
        "-u read" "--full read" "none read" "edited" fsyncs check "size after -u" "-r loop s"
      for ((round = 1; round <= ${LOOP_ROUNDS:-4}; round++)); do
        edited=$("$BUILD/make_bench_tree" edit "$at/w" "$round" "$edits")
        [[ $gib != 1 ]] || "$BUILD/make_bench_tree" edit "$at/wr" "$round" "$edits" >/dev/null
        wall[full]="" wall[none]=""
        for ((run = 0; run < RUNS; run++)); do
          measure full "cp $at/loop.kel $at/timed.kel" "$kel" -u -q --full "$at/timed.kel" "$at/w"
          # A copy is another archive: the record of the pair (timed.kel, w) does not hold for it.
          measure none "cp $at/loop.kel $at/timed.kel" "$kel" -u -q "$at/timed.kel" "$at/w"
        done
        cp "$at/loop.kel" "$at/timed.kel" && traced "$kel" -u -q --full "$at/timed.kel" "$at/w"
        fullRead=$(reads "$work/reads")
        cp "$at/loop.kel" "$at/timed.kel" && traced "$kel" -u -q "$at/timed.kel" "$at/w"
        noneRead=$(reads "$work/reads")
        rm -f "$at/timed.kel"
        wall[update]=""
        measure update "" strace --seccomp-bpf -f -e trace=read,pread64,fsync,fdatasync -o "$work/reads" \
          "$kel" -u -q "$at/loop.kel" "$at/w"
        read=$(reads "$work/reads")
        syncs=$(grep -cE '^[0-9]+ +f(data)?sync\(' "$work/reads" || true)
        rm -rf "$at/check"
        "$kel" -d -q "$at/loop.kel" "$at/check" && diff -r "$at/w" "$at/check" >/dev/null && "$kel" -t -q "$at/loop.kel" \
          && ok=ok || { ok=FAIL; failed=1; }
        rm -rf "$at/check"
        rloop=-
        if [[ $gib == 1 ]]; then
          start=${EPOCHREALTIME/,/.}
          (tool=$(realpath "$kel") && cd "$at/wr" && find scenario -name '*.txt' | while read -r text; do
            "$tool" -r -q ../r.kel "$text" "$text"; done)
          end=${EPOCHREALTIME/,/.}
          rloop=$(awk "BEGIN { printf \"%.2f\", $end - $start }")
        fi
        printf '%-6s %9.3f %9.3f %9.3f %11s %11s %11s %11s %6s %6s %14s %9s\n' "$round" "$(median "${wall[update]}")" \
          "$(median "${wall[full]}")" "$(median "${wall[none]}")" "$read" "$fullRead" "$noneRead" "$edited" "$syncs" \
          "$ok" "$(stat -c %s "$at/loop.kel")" "$rloop"
        # The edited files twice (compared, copied), the directory three times (the walk, the
        # archive's identity, the journal's digests) and the record, 56 bytes a file.
        check "$read <= 2 * $edited + 3 * $directory + 88 + 56 * $files" \
          "loop round $round: -u reads twice the edited bytes, the directory three times and the record"
        last=${wall[update]}
      done
      rm -rf "$at/r.kel" "$at/wr" "$at/cache"
      printf 'extract-all %.3f s; ' "$(median "${wall[extract]}")"
      "$kel" -c "$at/loop.kel"
      "$kel" -t "$at/loop.kel"
      echo "after -c: $(stat -c %s "$at/loop.kel") bytes"
      check "$(ratio "$last" "${wall[extract]}") <= 1.5" "loop: kel -u wall at most 1.5 x kel -d of the whole archive"
      unset XDG_CACHE_HOME
      rm -rf "$at"/* ;;
    sparse)
      "$BUILD/make_bench_tree" sparse "$work/sparse.kel"
      cat "$work/sparse.kel" >/dev/null  # the first read of its holes fills the cache with zeros
      echo
      echo "== sparse: kel -l of a 4 GiB directory of zero records (107,374,180 empty entries)"
      measure kell "" "$kel" -l "$work/sparse.kel"
      table_head
      row "kel -l" kell
      check "$(median "${rss[kell]}") < 16 * 1024" "sparse: kel -l peak memory under 16 MiB"
      rm -f "$work/sparse.kel" ;;
  esac
done

if [[ -x $BUILD/micro_bench ]]; then
  echo
  echo "== micro-benchmarks"
  "$BUILD/micro_bench" --benchmark_min_time=0.2 2>/dev/null | tee "$work/micro"
fi
exit "$failed"
