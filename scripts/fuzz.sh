#!/usr/bin/env bash
# Fuzzes every registered reader (and the writers) with the libFuzzer harnesses
# of fuzz/, built with clang and the address and undefined-behaviour sanitizers.
#
#   scripts/fuzz.sh            each handler's slice for FUZZ_SECONDS (default 60),
#                              then fuzz_write_read for as long; a summary at the end
#   scripts/fuzz.sh --long     rounds of FUZZ_ROUND_SECONDS (default 1800) per
#                              slice until stopped, with running totals
#
# Environment:
#   FUZZ_BUILD     build folder (default build-fuzz; configured here when new)
#   FUZZ_SECONDS   seconds per slice (default 60)
#   FUZZ_JOBS      slices run at once (default 1)
#   FUZZ_HANDLERS  the slices to run, e.g. "tga png" (default: every reader's,
#                  then write-read, stored-jpeg and omf)
#   FUZZ_NICE      niceness of the fuzzers (default 0; 19 on a shared machine)
#
# Corpora grow in $FUZZ_BUILD/corpus/<ext>/ and are kept between runs; seeds
# are written afresh to $FUZZ_BUILD/seeds/ (our writers, hand-built files,
# fuzz/seeds/<ext>/, the kept regressions). An input that crashes, hangs, leaks or runs out of memory
# is written to $FUZZ_BUILD/findings/<ext>/; the script then exits 1. Once the
# fault is fixed, copy the file to tests/data/fuzz-regressions/<ext>/.
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
[ "${1:-}" = "--long" ] && long=1
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
round=${FUZZ_ROUND_SECONDS:-1800}
jobs=${FUZZ_JOBS:-1}
niceness=${FUZZ_NICE:-0}

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCELCORE_SANITIZE=address,undefined -DCELCORE_BUILD_FUZZ=ON \
    -DCELCORE_BUILD_TESTS=OFF -DCELCORE_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target fuzzers

# Seeds: our writers and hand-built files, a format's own seed files
# (fuzz/seeds/<ext>/), then every kept regression.
rm -rf "$build/seeds"
"$build/bin/fuzz_seeds" "$build/seeds"
for dir in fuzz/seeds/*/ tests/data/fuzz-regressions/*/; do
  [ -d "$dir" ] || continue
  name=$(basename "$dir")
  mkdir -p "$build/seeds/$name"
  cp "$dir"* "$build/seeds/$name/" 2>/dev/null || true
done
# One slice per registered reader, then the harnesses of their own: the
# writers read back, the bitmap engine's stored JPEG data, the OMF container.
slices=${FUZZ_HANDLERS:-"$(cat "$build/seeds/handlers.txt" | tr '\n' ' ') write-read stored-jpeg omf"}

# The harnesses' temporary files (handlers that need a path, the writers'
# output) go to memory when it can hold them.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# Runs one slice for $2 seconds; its log is $build/logs/<slice>.log.
run_slice() {
  local slice=$1 time=$2
  local corpus="$build/corpus/$slice" findings="$build/findings/$slice"
  mkdir -p "$corpus" "$findings" "$build/logs"
  local args=(-max_total_time="$time" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
              -artifact_prefix="$findings/")
  if [ "$slice" = write-read ]; then
    nice -n "$niceness" "$build/bin/fuzz_write_read" "$corpus" "${args[@]}" -max_len=4096 \
      >"$build/logs/$slice.log" 2>&1
  elif [ "$slice" = stored-jpeg ]; then
    nice -n "$niceness" "$build/bin/fuzz_stored_jpeg" "$corpus" "$build/seeds/jpg" -dict=fuzz/dict/jpg.dict \
      "${args[@]}" -max_len=262144 >"$build/logs/$slice.log" 2>&1
  elif [ "$slice" = omf ]; then
    nice -n "$niceness" "$build/bin/fuzz_omf" "$corpus" omf/fuzz/seeds -dict=omf/fuzz/omf.dict \
      "${args[@]}" -max_len=262144 >"$build/logs/$slice.log" 2>&1
  else
    local dict=()
    [ -f "fuzz/dict/$slice.dict" ] && dict=(-dict="fuzz/dict/$slice.dict")
    CELCORE_FUZZ_HANDLER=$slice nice -n "$niceness" "$build/bin/fuzz_read" "$corpus" \
      "$build/seeds/$slice" "${dict[@]}" "${args[@]}" -max_len=262144 >"$build/logs/$slice.log" 2>&1
  fi
}

declare -A total_execs
summary() {
  printf '%-11s %12s %8s %7s %7s %7s %9s\n' slice executions exec/s cov ft corpus findings
  local slice
  for slice in $slices; do
    local log="$build/logs/$slice.log"
    local execs rate last cov ft corp found
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(ls "$build/corpus/$slice" | wc -l)
    found=$(ls "$build/findings/$slice" | wc -l)
    total_execs[$slice]=$(( ${total_execs[$slice]:-0} + ${execs:-0} ))
    printf '%-11s %12s %8s %7s %7s %7s %9s\n' "$slice" "${total_execs[$slice]}" "${rate:-?}" \
      "${cov:-?}" "${ft:-?}" "$corp" "$found"
  done
}

run_all() {
  local time=$1 slice
  for slice in $slices; do
    run_slice "$slice" "$time" &
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  done
  wait || true
}

findings() { find "$build/findings" -type f | wc -l; }

if [ $long -eq 1 ]; then
  n=0
  while true; do
    n=$((n + 1))
    run_all "$round"
    echo "fuzz: round $n done ($round s per slice); executions since the start:"
    summary >"$build/fuzz-summary.txt"  # not in a pipe: the totals live in this shell
    cat "$build/fuzz-summary.txt"
  done
fi

run_all "$seconds"
summary >"$build/fuzz-summary.txt"
cat "$build/fuzz-summary.txt"
if [ "$(findings)" -ne 0 ]; then
  echo "fuzz: findings in $build/findings/:" >&2
  find "$build/findings" -type f >&2
  exit 1
fi
