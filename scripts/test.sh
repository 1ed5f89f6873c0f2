#!/bin/sh
# Installs what is needed, builds, and runs every test: first the optimised build and a 60 s soak
# run on it, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded tests under ThreadSanitizer, and each fuzz target for 20 s (when clang is present).
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs="$(nproc)"
ctest --test-dir build --output-on-failure -j "$jobs"

# The soak run needs little processor time: it runs while the sanitizer build compiles (at a lower
# priority, so the engine's meters keep their pace).
./scripts/soak.sh 60 >build/soak.log 2>&1 &
soak=$!
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMIXENGINE_SANITIZE=ON -DMIXENGINE_BENCH=OFF >/dev/null
nice -n 10 cmake --build build-sanitize -j "$jobs"
soak_status=0
wait "$soak" || soak_status=$?
cat build/soak.log
[ "$soak_status" -eq 0 ]
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

./scripts/tsan.sh
if command -v clang++ >/dev/null 2>&1; then
  ./scripts/fuzz.sh 20
fi
