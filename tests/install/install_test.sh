#!/bin/sh
# The installed program and its Debian package: the engine, the console and the documents, nothing
# built for the tests, and the run-time dependencies declared.
#     install_test.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
files=$(cd "$tmp/usr" && find . -type f | sort)
echo "$files"
[ "$(echo "$files" | grep '^./bin/' | tr '\n' ' ')" = "./bin/mixconsole ./bin/mixengine " ] ||
  fail "bin/ must hold exactly mixconsole and mixengine"
echo "$files" | grep -q '^./share/doc/mixengine/README.md$' || fail "README.md not installed"
if echo "$files" | grep -v -e '^./bin/' -e '^./share/doc/mixengine/'; then fail "unexpected files"; fi

"$tmp/usr/bin/mixengine" --version | grep -Eq '^mixengine [0-9]+\.[0-9]+\.[0-9]+$' ||
  fail "installed mixengine --version"
# The installed console finds the installed engine beside it.
echo 'sleep 0.5' > "$tmp/script"
"$tmp/usr/bin/mixconsole" --script "$tmp/script" </dev/null >"$tmp/console" 2>&1 ||
  fail "installed mixconsole: $(cat "$tmp/console")"
grep -q '^Ready: sim at 48000 Hz' "$tmp/console" || fail "console output: $(cat "$tmp/console")"

(cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null) || fail "cpack"
deb=$(ls "$tmp"/pkg/mixengine_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dep in python3 librtaudio libfftw3 libc6; do
  echo "$depends" | grep -q "$dep" || fail "package does not depend on $dep"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
echo "$contents" | grep -q '^./usr/bin/mixengine$' || fail "package lacks the engine"
echo "$contents" | grep -q '^./usr/bin/mixconsole$' || fail "package lacks the console"
if echo "$contents" | grep -e test -e scramble -e fake; then fail "package carries test files"; fi
