#!/usr/bin/python3
"""The browser console's costs and delays, with the page open in a headless Chromium.

Starts tools/mixweb on `mixengine --sim` (16 inputs, test signals), opens the console, listens to
main and draws main's spectrum, then measures over the given seconds:
- the CPU share of the bridge, of the engine and of every Chromium process together (user + system
  time over wall time, one core = 100 %);
- the jitter buffer's fill (the listen path's latency before the browser's own output latency),
  its target, and the underruns and trims in that time;
- the time from a fader move in the page (the change event of a strip's dB box) to the first meter
  line in the page that shows it: output 1 plays strip 5 after its fader, so out/in is the fader.

Usage: bench/mixweb_harness.py [build dir] [seconds]
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build")
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
TICK = os.sysconf("SC_CLK_TCK")


def tree(pid):
    """pid and all its descendants."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            with open(f"/proc/{p}/task/{p}/children") as f:
                todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


def browser_processes(profile):
    """Every Chromium process of this profile (they detach from the driver)."""
    out = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open(f"/proc/{p}/cmdline", "rb") as f:
                    if profile.encode() in f.read():
                        out.append(int(p))
            except OSError:
                pass
    return out


def cpu(pids):
    total = 0
    for p in pids:
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / TICK


home = tempfile.mkdtemp(prefix="mixweb-harness-")
bridge = subprocess.Popen([os.path.join(root, "tools", "mixweb"), "--engine",
                           os.path.join(build, "mixengine")], stdout=subprocess.PIPE, text=True)
url = re.search(r"http://\S+/", bridge.stdout.readline()).group(0)
opts = webdriver.ChromeOptions()
opts.binary_location = "/usr/lib/chromium/chromium"
for a in ("--headless=new", "--no-sandbox", "--autoplay-policy=no-user-gesture-required",
          f"--user-data-dir={home}/profile", "--window-size=1600,1000"):
    opts.add_argument(a)
service = Service("/usr/bin/chromedriver", log_path=os.devnull, env={**os.environ, "HOME": home})
d = webdriver.Chrome(service=service, options=opts)
try:
    d.get(url)
    while not d.execute_script("return !!(window.mixweb && mixweb.listener.stats.primed)"):
        time.sleep(0.2)
    d.execute_script("""mixweb.state.patch.outs[0] = 'in.5.post';
        mixweb.send({t: 'patch', ins: mixweb.state.patch.ins, outs: mixweb.state.patch.outs});""")
    time.sleep(3)
    engine = tree(bridge.pid)[1]
    chromium = browser_processes(home)
    start = time.monotonic(), cpu([bridge.pid]), cpu([engine]), cpu(chromium)
    runs0 = d.execute_script("return mixweb.listener.stats.underruns")
    fills = []
    while time.monotonic() - start[0] < seconds:
        time.sleep(1)
        fills.append(d.execute_script("return mixweb.listener.stats.avgMs"))
    wall = time.monotonic() - start[0]
    shares = [(cpu([bridge.pid]) - start[1]) / wall, (cpu([engine]) - start[2]) / wall,
              (cpu(chromium) - start[3]) / wall]  # processes that ended meanwhile count 0
    stats = d.execute_script("return mixweb.listener.stats")
    ctx = d.execute_script("const c = mixweb.listener.ctx; "
                           "return [c.sampleRate, c.baseLatency || 0, c.outputLatency || 0]")
    # Fader moves, timed inside the page.
    delays = d.execute_async_script("""
        const done = arguments[arguments.length - 1], ws = mixweb.socket(), out = [];
        const box = document.querySelector('.strip[data-ch="in.5"] .fader-db');
        const move = (k) => {
          if (k === 20) { done(out); return; }
          const target = k % 2 ? -6 : -12, t0 = performance.now();
          const seen = (e) => {
            if (typeof e.data !== 'string' || !e.data.startsWith('{"amix"')) return;
            const m = JSON.parse(e.data);
            if (m.in[4] < 0.003) return;
            if (Math.abs(20 * Math.log10(m.out[0] / m.in[4]) - target) > 0.3) return;
            ws.removeEventListener('message', seen);
            out.push(performance.now() - t0);
            setTimeout(() => move(k + 1), 200);
          };
          ws.addEventListener('message', seen);
          box.value = String(target);
          box.dispatchEvent(new Event('change'));
        };
        move(0);""")
    load = os.getloadavg()
    print(f"over {wall:.0f} s, load average {load[0]:.1f} on {os.cpu_count()} cores")
    print(f"CPU share: bridge {shares[0] * 100:.1f} %, engine {shares[1] * 100:.1f} %, "
          f"Chromium {shares[2] * 100:.1f} % (all its processes)")
    print(f"jitter buffer: mean {statistics.mean(fills):.1f} ms, range {min(fills):.1f}-"
          f"{max(fills):.1f} ms, target {stats['targetMs']} ms; browser output at {ctx[0]:.0f} Hz "
          f"adds {(ctx[1] + ctx[2]) * 1000:.1f} ms")
    print(f"underruns {stats['underruns'] - runs0}, trims {stats['trims']}, "
          f"overflows {stats['overflows']}")
    print(f"fader move to meter line in the page: median {statistics.median(delays):.0f} ms, "
          f"range {min(delays):.0f}-{max(delays):.0f} ms over {len(delays)} moves")
finally:
    d.quit()
    bridge.terminate()
    bridge.wait()
    shutil.rmtree(home, ignore_errors=True)
