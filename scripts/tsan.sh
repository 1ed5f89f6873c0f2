#!/bin/sh
# ThreadSanitizer run of the test binaries whose tests use threads: the rings under two threads,
# the command reader with a live consumer, the analysis threads (spectrum, auto-EQ), the feedback
# suppressor and the simulation end to end (whose executable is built with ThreadSanitizer too, so
# a race in any worker thread shows on its standard error and fails the test). Only these
# binaries and the libraries they need are built, in build-tsan/.
set -eu
cd "$(dirname "$0")/.."
build=build-tsan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIXENGINE_TSAN=ON \
  -DMIXENGINE_BENCH=OFF >/dev/null
available="$(cmake --build "$build" --target help)"
targets=""
for t in engine_tests control_tests suppression_tests analysis_tests entry_tests; do
  if echo "$available" | grep -qx "\.\.\. $t"; then targets="$targets $t"; fi
done
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets >/dev/null
# Only the GoogleTest cases (label gtest) of the binaries built here: the unbuilt ones appear to
# CTest as <name>_NOT_BUILT, and the scripted tests (console, packaging) are not about threads.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L '^gtest$' -E '_NOT_BUILT$'
