#!/bin/sh
# Soak run: scripts/soak.sh SECONDS (default 60). Runs the simulation with 32 inputs on a generated
# recording while a storm of about 200 valid and invalid commands a second hits its standard input;
# reports the meter-line gaps (median, 99th percentile, maximum) and resident memory, and fails if
# the meters stall, memory grows after the warm-up, anything reaches standard error or "quit" does
# not end the engine with status 0. Runs the executable named by MIXENGINE when that is set,
# otherwise build/mixengine; the driver comes from build/ (scripts/setup.sh builds both).
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
engine="${MIXENGINE:-build/mixengine}"
driver="build/tests/soak_driver"
[ -x "$driver" ] || cmake --build build --target soak_driver >/dev/null
exec "$driver" "$engine" "$seconds"
