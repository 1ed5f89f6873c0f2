#!/bin/sh
# Installs the Debian packages the build and the tests need, then configures and builds.
# Safe to run again: apt-get skips what is already installed.
set -eu
cd "$(dirname "$0")/.."

# clang and its runtime libraries (libclang-rt-dev) bring libFuzzer for the fuzz targets in fuzz/.
# The browser console's bridge needs aiohttp; its tests drive a headless Chromium with Selenium.
packages="build-essential cmake pkg-config nlohmann-json3-dev libfftw3-dev librtaudio-dev \
jackd2 libjack-jackd2-dev libasound2-dev libgtest-dev libgmock-dev libbenchmark-dev libebur128-dev \
python3 tmux clang libclang-rt-dev python3-aiohttp chromium chromium-driver python3-selenium"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial -e auxfiles)" ]; then
    $sudo_cmd apt-get update -qq
  fi
  # jackd2 asks whether to enable real-time scheduling; answer for it.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo_cmd debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
