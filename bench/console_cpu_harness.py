#!/usr/bin/env python3
"""CPU share of the whole simulation process under the benchmark's worst case, sent as commands.

Starts `mixengine --sim --inputs 32 --outputs 8` (built-in test signals), sends every strip, bus,
mono and main the settings of engine_bench's worst case (high-pass 24 dB/octave, gate, 8 + 8
parametric bands, the 31-band graphic EQ, compressor, automixer, 8 sends; the outputs with 8 + 8
bands, graphic EQ, compressor), waits for them to settle and reads the process's user + system
time over the measured seconds. Meter lines are read and discarded as a front end would.

Usage: bench/console_cpu_harness.py [build dir] [seconds]
"""
import json
import os
import subprocess
import sys
import threading
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
binary = os.path.abspath(os.path.join(build, "mixengine"))


def bands(kind):
    return [[kind, 80.0 * (i + 1) * (i + 1), 4.0 if i % 2 else -3.0, 1.2] for i in range(8)]


graphic = [1.5 if i % 2 else -2.0 for i in range(31)]


def strip(s):
    return {"hpf": {"f": 100, "slope": 24}, "gate": {}, "eq": bands("peq"), "peq32": bands("peq"),
            "geq": graphic, "dyn": {}, "amix": {"group": 1 + s % 2},
            "sends": [{"lin": 0.2, "tap": k % 3} for k in range(8)]}


out = {"eq": bands("peq"), "peq32": bands("lshv"), "geq": graphic, "dyn": {}, "pan": 0.2}
commands = [{"t": "strip", "i": s, "s": strip(s)} for s in range(32)]
commands += [{"t": "bus", "i": b, "s": out} for b in range(8)]
commands += [{"t": "mono", "s": out}, {"t": "main", "s": out}]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


proc = subprocess.Popen([binary, "--sim", "--inputs", "32", "--outputs", "8"],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
for c in commands:
    proc.stdin.write(json.dumps(c) + "\n")
proc.stdin.flush()
time.sleep(3)
t0, c0 = time.monotonic(), cpu_seconds(proc.pid)
time.sleep(seconds)
t1, c1 = time.monotonic(), cpu_seconds(proc.pid)
proc.stdin.write('{"t":"quit"}\n')
proc.stdin.flush()
status = proc.wait(timeout=10)
print("whole process: %.1f%% of one core over %.0f s (worst case, 32 inputs, 8 outputs; "
      "exit status %d)" % ((c1 - c0) / (t1 - t0) * 100, t1 - t0, status))
