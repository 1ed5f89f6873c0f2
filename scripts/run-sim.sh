#!/bin/sh
# Installs what is needed, builds, and starts the console on its built-in test signals.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
exec ./build/mixengine --sim "$@"
