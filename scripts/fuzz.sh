#!/bin/sh
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for SECONDS (default 30), two at a time, starting from the seed corpus in
# fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/<target>/, never into the repository;
# a crash, leak, timeout or failed check leaves its input in build-fuzz/artifacts/ and makes the
# script fail. Prints one line per target: executions, coverage (edges reached of those
# instrumented) and features.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 3600 command_line
#   MIXENGINE_FUZZ_RUNS=1000000 scripts/fuzz.sh 0    a fixed number of executions instead
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-30}"
[ $# -gt 0 ] && shift
targets="${*:-command_line detect records wav cli}"
runs="${MIXENGINE_FUZZ_RUNS:--1}"
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DMIXENGINE_FUZZ=ON -DMIXENGINE_TESTS=OFF -DMIXENGINE_BENCH=OFF >/dev/null
names=""
for t in $targets; do names="$names ${t}_fuzz"; done
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $names >/dev/null

mkdir -p "$build/artifacts" "$build/logs"
run_one() {
  t="$1"
  mkdir -p "$build/corpus/$t"
  # -timeout: one input taking 10 s is a hang; -rss_limit_mb bounds memory; leaks are reported
  # by AddressSanitizer at the end of each input that grew the heap.
  if "$build/fuzz/${t}_fuzz" "$build/corpus/$t" "fuzz/corpus/$t" \
      -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/${t}-" \
      >"$build/logs/$t.log" 2>&1; then
    status=ok
  else
    status=FAILED
  fi
  total=$(sed -n 's/.*INFO: Loaded 1 modules *(\([0-9]*\) inline 8-bit counters).*/\1/p' "$build/logs/$t.log" | head -1)
  last=$(grep -E '^#[0-9]+' "$build/logs/$t.log" | tail -1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$t.log")
  cov=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  echo "fuzz $t: $status, ${execs:-?} executions, coverage ${cov:-?} of ${total:-?} edges, ${ft:-?} features"
  [ "$status" = ok ] || { tail -n 40 "$build/logs/$t.log"; return 1; }
}

failed=0
set -- $targets
while [ $# -gt 0 ]; do
  # Two at a time: one per core.
  run_one "$1" & first=$!
  second=""
  if [ $# -gt 1 ]; then run_one "$2" & second=$!; fi
  wait "$first" || failed=1
  [ -z "$second" ] || wait "$second" || failed=1
  shift; [ $# -gt 0 ] && shift
done
exit "$failed"
