#!/usr/bin/env python3
"""Measures the feedback suppressor through the real process (simulation mode, real time).

  fba_harness.py detect-time [--reps N]   time from a howl's start, or a sine's step, to its
                                          "fba.notch" ("fba.detect" for the sine) line
  fba_harness.py false-alarms [--secs S]  detections over S seconds of programme with
                                          suppression on for all ten outputs, and the
                                          suppressor thread's CPU share

Usage: tools/fba_harness.py BINARY COMMAND [options]. Runs are slow by nature (real time):
false-alarms takes S seconds per configuration, run side by side.
"""
import argparse
import json
import math
import os
import select
import subprocess
import sys
import tempfile
import time
import wave
import struct

RATE = 48000
OUTPUTS = ["main", "mono"] + [f"bus.{b}" for b in range(1, 9)]


class Engine:
    def __init__(self, binary, args):
        self.p = subprocess.Popen([binary, "--sim"] + args, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.buf = b""
        self.lines = []  # (arrival time, message)

    def send(self, obj):
        self.p.stdin.write((json.dumps(obj) + "\n").encode())

    def read(self, timeout):
        """Next (time, message), or None after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            r, _, _ = select.select([self.p.stdout], [], [], left)
            if r:
                chunk = os.read(self.p.stdout.fileno(), 65536)
                if not chunk:
                    return None
                self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return time.monotonic(), json.loads(line)

    def until(self, pred, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            got = self.read(deadline - time.monotonic())
            if got is None:
                raise RuntimeError("timed out")
            if pred(got[1]):
                return got

    def quit(self):
        try:
            self.send({"t": "quit"})
            self.p.stdin.close()
        except BrokenPipeError:
            pass
        self.p.wait(10)
        return self.p.stderr.read()


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, int(round(s * 32767)))))
                               for s in samples))


def stats(values):
    values = sorted(values)
    n = len(values)
    mean = sum(values) / n
    return f"n={n} min={values[0]*1000:.1f} median={values[n//2]*1000:.1f} " \
           f"mean={mean*1000:.1f} max={values[-1]*1000:.1f} ms"


def howl_times(binary, content, reps):
    e = Engine(binary, ["--inputs", "1"])
    e.until(lambda m: m.get("t") == "ready")
    e.send({"t": "patch", "ins": []})
    cfg = {"on": True}
    if content:
        cfg["content"] = content
    e.send({"t": "fba", "target": "main", "cfg": cfg})
    times = []
    for _ in range(reps):
        e.send({"t": "fba.reset", "target": "main"})
        e.until(lambda m: m.get("t") == "fba" and not m["notches"])
        time.sleep(0.05)
        t0 = time.monotonic()
        e.send({"t": "fba.howl", "target": "main"})
        t1, _ = e.until(lambda m: m.get("t") == "fba.notch")
        times.append(t1 - t0)
        # Let the howl die and the detector forget it.
        e.until(lambda m: m.get("t") == "m" and m["main"][0] == 0.0)
        time.sleep(0.3)
    e.quit()
    return times


def step_times(binary, content, reps):
    # A 3 s loop: 1.5 s of silence, then 1.5 s of a 1 kHz sine at -20 dBFS (per side of main).
    period, step = 3.0, 1.5
    d = tempfile.mkdtemp(prefix="fba-step-")
    samples = [0.0] * int(step * RATE) + [
        0.1 / 0.70710678 * math.sin(2 * math.pi * 1000.0 * n / RATE)
        for n in range(int((period - step) * RATE))]
    write_wav(os.path.join(d, "ch01.wav"), samples)
    e = Engine(binary, ["--inputs", "1", "--files", d])
    t_ready, _ = e.until(lambda m: m.get("t") == "ready")
    cfg = {"on": True, "hold_s": 0}
    if content:
        cfg["content"] = content
    e.send({"t": "fba", "target": "main", "cfg": cfg})
    times = []
    seen = set()
    while len(times) < reps:
        t, m = e.until(lambda m: m.get("t") == "fba.detect", timeout=period * 3)
        k = math.floor((t - t_ready - step) / period)
        if k in seen or k < 0:
            continue
        seen.add(k)
        times.append(t - (t_ready + step + k * period))
        # A fresh start for the next step: no notch in the way.
        e.send({"t": "fba.reset", "target": "main"})
    e.quit()
    return times


def detect_time(args):
    for content in (None, "speech"):
        label = content or "defaults"
        print(f"howl on main, {label}: {stats(howl_times(args.binary, content, args.reps))}")
    for content in (None, "speech"):
        label = content or "defaults"
        print(f"1 kHz step on main, {label}: {stats(step_times(args.binary, content, args.reps))}")


def show_routing(e, music_outputs):
    """Test signals as a show would route them (16 inputs: 0 and 8 voice at 140 Hz, 1 and 9
    voice at 220 Hz, 2/10 kick, 3/11 snare, 4/12 bass, 5/13 keys, 6/14 guitar, 7/15 room)."""
    def sends(levels):
        return [{"lin": v, "tap": 1} for v in levels]
    voice = [0, 1, 8, 9]
    drums = [2, 3, 10, 11]
    band = [4, 5, 6, 12, 13, 14]
    for s in range(16):
        levels = [0.0] * 8
        if s == 0:
            levels[0] = 0.8                  # bus.1: the low singer's wedge
        if s == 1:
            levels[1] = 0.8                  # bus.2: the high singer's wedge
        if s in (8, 9):
            levels[2] = 0.8                  # bus.3: a wedge both singers share
        if s in drums:
            levels[3] = 0.7                  # bus.4: drum sub
        if s in voice or s in band:
            levels[4] = 0.6                  # bus.5: band wedge (voices and band)
        if s in voice or s in band or s in drums:
            levels[5] = 0.5                  # bus.6: in-ear full mix
        if s in (5, 6, 13, 14):
            levels[6] = 0.7                  # bus.7: keys and guitar
        if s in (7, 15):
            levels[7] = 0.5                  # bus.8: room noise alone
        e.send({"t": "strip", "i": s, "s": {"sends": sends(levels), "mono": 0.5}})
    for o in OUTPUTS:
        cfg = {"on": True}
        if o in music_outputs:
            cfg["content"] = "music"
        e.send({"t": "fba", "target": o, "cfg": cfg})


def programme_files(d):
    """Generated programme: a chord sequence with decaying piano-like notes, a sung line with
    vibrato and syllables, and noise bursts; 12 s, looped by the player."""
    n = 12 * RATE
    import random
    rnd = random.Random(7)
    chords = [(261.63, 329.63, 392.0), (220.0, 261.63, 329.63), (174.61, 220.0, 261.63),
              (196.0, 246.94, 293.66)]
    piano, voice, noise = [], [], []
    for i in range(n):
        t = i / RATE
        bar = int(t / 1.5) % 4
        tau = t % 1.5
        env = math.exp(-2.5 * tau)
        piano.append(0.08 * env * sum(
            sum((0.6 ** (h - 1)) * math.sin(2 * math.pi * f * h * t) for h in range(1, 6))
            for f in chords[bar]))
        f0 = [220.0, 246.94, 261.63, 293.66, 329.63, 293.66][int(t / 2.0) % 6]
        f = f0 * (1 + 0.02 * math.sin(2 * math.pi * 5.5 * t))
        syll = max(0.0, math.sin(2 * math.pi * 2.5 * t)) ** 0.5
        voice.append(0.1 * syll * (math.sin(2 * math.pi * f * t) + 0.5 * math.sin(4 * math.pi * f * t)
                                   + 0.25 * math.sin(6 * math.pi * f * t)))
        burst = 0.3 * math.exp(-30 * ((t * 1.7) % 1.0))
        noise.append(burst * (rnd.random() * 2 - 1))
    write_wav(os.path.join(d, "ch01.wav"), piano)
    write_wav(os.path.join(d, "ch02.wav"), voice)
    write_wav(os.path.join(d, "ch03.wav"), noise)


def thread_cpu(pid):
    """CPU seconds of each thread, in creation order (ascending thread id)."""
    out = []
    tick = os.sysconf("SC_CLK_TCK")
    for tid in sorted(int(t) for t in os.listdir(f"/proc/{pid}/task")):
        with open(f"/proc/{pid}/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        out.append((int(fields[11]) + int(fields[12])) / tick)
    return out


def false_alarms(args):
    runs = []
    # Test signals with default settings, then with "music" on the outputs with sustained
    # instruments; generated programme material on main and one bus; all outputs switched off
    # for the suppressor's idle cost.
    d = tempfile.mkdtemp(prefix="fba-programme-")
    programme_files(d)
    configs = [
        ("test signals, defaults", [], lambda e: show_routing(e, [])),
        ("test signals, music on main/mono/bus.5/bus.6/bus.7", [],
         lambda e: show_routing(e, ["main", "mono", "bus.5", "bus.6", "bus.7"])),
        ("generated programme, defaults", ["--inputs", "3", "--files", d],
         lambda e: [e.send({"t": "strip", "i": s, "s": {"sends": [{"lin": 0.7, "tap": 1}] * 8,
                                                          "mono": 0.5}}) for s in range(3)]
         + [e.send({"t": "fba", "target": o, "cfg": {"on": True}}) for o in OUTPUTS]),
        ("test signals, every output off", [], lambda e: None),
    ]
    for name, extra, setup in configs:
        e = Engine(args.binary, extra)
        e.until(lambda m: m.get("t") == "ready")
        setup(e)
        runs.append((name, e, time.monotonic(), thread_cpu(e.p.pid)))
    deadline = time.monotonic() + args.secs
    counts = {name: {} for name, *_ in runs}
    # Read everything from every process until the time is up.
    while time.monotonic() < deadline:
        for name, e, *_ in runs:
            while True:
                got = e.read(0.01)
                if got is None:
                    break
                m = got[1]
                if m.get("t") == "fba.detect":
                    c = counts[name]
                    c[m["target"]] = c.get(m["target"], 0) + 1
    for name, e, t0, cpu0 in runs:
        cpu1 = thread_cpu(e.p.pid)
        wall = time.monotonic() - t0
        suppressor = (cpu1[1] - cpu0[1]) / wall if len(cpu1) > 1 else float("nan")
        whole = (sum(cpu1) - sum(cpu0)) / wall
        err = e.quit()
        total = sum(counts[name].values())
        print(f"{name}: {total} detections in {args.secs:.0f} s {counts[name]}; "
              f"suppressor thread {suppressor*100:.2f} % of a core, process {whole*100:.1f} %"
              + (f"; stderr: {err!r}" if err else ""))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    sub = ap.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("detect-time")
    a.add_argument("--reps", type=int, default=10)
    b = sub.add_parser("false-alarms")
    b.add_argument("--secs", type=float, default=120.0)
    args = ap.parse_args()
    {"detect-time": detect_time, "false-alarms": false_alarms}[args.cmd](args)


if __name__ == "__main__":
    main()
