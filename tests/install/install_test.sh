#!/bin/sh
# The installed program and its Debian package: the engine, both consoles (the browser console's
# page included) and the documents, nothing built for the tests, and the run-time dependencies
# declared.
#     install_test.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
files=$(cd "$tmp/usr" && find . -type f | sort)
echo "$files"
[ "$(echo "$files" | grep '^./bin/' | tr '\n' ' ')" = "./bin/mixconsole ./bin/mixengine ./bin/mixweb " ] ||
  fail "bin/ must hold exactly mixconsole, mixengine and mixweb"
echo "$files" | grep -q '^./share/doc/mixengine/README.md$' || fail "README.md not installed"
for page in index.html console.js console.css dsp.js audio.js listen-worklet.js listen-socket.js; do
  echo "$files" | grep -q "^./share/mixengine/web/$page\$" || fail "web/$page not installed"
done
if echo "$files" | grep -v -e '^./bin/' -e '^./share/doc/mixengine/' -e '^./share/mixengine/web/'; then
  fail "unexpected files"
fi

"$tmp/usr/bin/mixengine" --version | grep -Eq '^mixengine [0-9]+\.[0-9]+\.[0-9]+$' ||
  fail "installed mixengine --version"
# The installed console finds the installed engine beside it.
echo 'sleep 0.5' > "$tmp/script"
"$tmp/usr/bin/mixconsole" --script "$tmp/script" </dev/null >"$tmp/console" 2>&1 ||
  fail "installed mixconsole: $(cat "$tmp/console")"
grep -q '^Ready: sim at 48000 Hz' "$tmp/console" || fail "console output: $(cat "$tmp/console")"
# The installed browser console finds the engine and its page, and serves the page at its address.
/usr/bin/python3 - "$tmp/usr/bin/mixweb" <<'EOF' || fail "installed mixweb"
import re, subprocess, sys, urllib.request
bridge = subprocess.Popen([sys.argv[1], "--", "--sim", "--inputs", "2"], stdout=subprocess.PIPE,
                          text=True)
try:
    first = bridge.stdout.readline()
    url = re.search(r"http://127\.0\.0\.1:\d+/\S+/", first)
    assert url, first
    page = urllib.request.urlopen(url.group(0), timeout=10).read().decode()
    assert "console.js" in page, page[:200]
finally:
    bridge.terminate()
sys.exit(bridge.wait(10))
EOF

(cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null) || fail "cpack"
deb=$(ls "$tmp"/pkg/mixengine_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dep in python3 python3-aiohttp librtaudio libfftw3 libc6; do
  echo "$depends" | grep -q "$dep" || fail "package does not depend on $dep"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
echo "$contents" | grep -q '^./usr/bin/mixengine$' || fail "package lacks the engine"
echo "$contents" | grep -q '^./usr/bin/mixconsole$' || fail "package lacks the console"
echo "$contents" | grep -q '^./usr/bin/mixweb$' || fail "package lacks the browser console"
echo "$contents" | grep -q '^./usr/share/mixengine/web/index.html$' || fail "package lacks the page"
if echo "$contents" | grep -e test -e scramble -e fake; then fail "package carries test files"; fi
