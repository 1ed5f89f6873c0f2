#!/bin/sh
# Installs what is needed, builds, and starts the browser console on the engine's built-in test
# signals; it prints the address to open. Engine options may follow, e.g. --inputs 8.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
exec ./tools/mixweb --engine ./build/mixengine -- --sim "$@"
