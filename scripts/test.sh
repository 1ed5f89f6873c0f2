#!/bin/sh
# Installs what is needed, builds, and runs every test: first the optimised build and a 60 s soak
# run on it, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded tests under ThreadSanitizer, and each fuzz target for 20 s (when clang is present).
#
# The tests leave much of the processor idle while they wait on engines, servers and the browser,
# so the later builds (sanitizers, ThreadSanitizer, fuzz targets) compile one after another behind
# them at the lowest priority: each test run starts as soon as its build is done and still has the
# processor whenever it wants it. A build's output is shown only when it fails.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs="$(nproc)"
fuzz=false
command -v clang++ >/dev/null 2>&1 && fuzz=true

mkdir -p build/logs
: >build/logs/builds.done
rm -f build/logs/sanitize.log build/logs/tsan.log build/logs/fuzz.log
# In a process group of its own, so that leaving early stops every compiler it started.
jobs="$jobs" fuzz="$fuzz" setsid nice -n 19 sh -c '
  # step LOG COMMAND...: appends the output to build/logs/LOG.log; a failure ends the builds.
  step() { log=$1; shift; "$@" >>"build/logs/$log.log" 2>&1 || { echo failed; exit 1; }; }
  {
    step sanitize cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMIXENGINE_SANITIZE=ON \
      -DMIXENGINE_BENCH=OFF
    step sanitize cmake --build build-sanitize -j "$jobs"
    echo sanitize
    step tsan ./scripts/tsan.sh build
    echo tsan
    if "$fuzz"; then step fuzz ./scripts/fuzz.sh build; fi
    echo fuzz
  } >>build/logs/builds.done
' &
builder=$!
trap 'kill -- "-$builder" 2>/dev/null || true' EXIT
started=$(date +%s)

# Waits until the background builds have done `name`; if one of them failed, shows why.
built() {
  while ! grep -qx "$1" build/logs/builds.done; do
    # Gone, or a zombie, without having said so: the builds ended some other way (killed, say).
    state="$(sed 's/.*) //' "/proc/$builder/stat" 2>/dev/null | cut -c1)"
    if grep -qx failed build/logs/builds.done ||
       { [ "${state:-Z}" = Z ] && ! grep -qx "$1" build/logs/builds.done; }; then
      echo "a build failed:"
      tail -n 60 build/logs/sanitize.log build/logs/tsan.log build/logs/fuzz.log 2>/dev/null
      exit 1
    fi
    sleep 2
  done
  echo "== $1 build done after $(( $(date +%s) - started )) s"
}

ctest --test-dir build --output-on-failure -j "$jobs"
./scripts/soak.sh 60

built sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

built tsan
./scripts/tsan.sh

built fuzz
if "$fuzz"; then
  ./scripts/fuzz.sh 20
fi
wait "$builder"
