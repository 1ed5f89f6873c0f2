#!/usr/bin/env python3
"""Listen-stream harness: runs `mixengine --sim`, switches the listen stream on to a local UDP
port and reports what arrives: datagrams per second, their sizes, the jitter of their spacing and
the CPU share of the sender thread.

    bench/listen_stream_harness.py build/mixengine [--seconds 60] [--rate 96000] [--bits 24]

The sender is identified as the fourth thread of the process (main, feedback suppressor, auto-EQ
analysis, listen sender, ... are created in that order).
"""
import argparse
import json
import os
import socket
import statistics
import subprocess
import threading
import time


def thread_ticks(pid):
    ticks = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks[int(tid)] = int(fields[11]) + int(fields[12])  # utime + stime
        except OSError:
            pass
    return ticks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--rate", default="48000")
    ap.add_argument("--bits", type=int, default=16)
    args = ap.parse_args()

    cmd = [args.binary, "--sim"] + (["--rate", args.rate] if args.rate != "48000" else [])
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # Telemetry must be read, or the engine's writers block on a full pipe.
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    time.sleep(1.0)

    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    rx.bind(("127.0.0.1", 0))
    rx.settimeout(1.0)
    port = rx.getsockname()[1]
    command = {"t": "listen", "src": "main", "port": port, "bits": args.bits}
    proc.stdin.write(json.dumps(command) + "\n")
    proc.stdin.flush()
    rx.recv(65536)  # the stream is running

    hz = os.sysconf("SC_CLK_TCK")
    before, t0 = thread_ticks(proc.pid), time.monotonic()
    times, sizes = [], {}
    while time.monotonic() - t0 < args.seconds:
        try:
            data = rx.recv(65536)
        except socket.timeout:
            continue
        times.append(time.monotonic_ns())
        sizes[len(data)] = sizes.get(len(data), 0) + 1
    after, elapsed = thread_ticks(proc.pid), time.monotonic() - t0
    proc.stdin.write('{"t":"quit"}\n')
    proc.stdin.flush()
    proc.wait(timeout=5)

    gaps_ms = [(b - a) / 1e6 for a, b in zip(times, times[1:])]
    gaps_ms.sort()
    tids = sorted(after)
    sender = tids[3] if len(tids) > 3 else None
    cpu = {t: (after[t] - before.get(t, 0)) / hz / elapsed * 100 for t in tids}
    print(f"rate {args.rate} Hz, {args.bits}-bit, {elapsed:.1f} s")
    print(f"datagrams/s {len(times) / elapsed:.2f}  sizes {sizes}")
    print(
        "spacing ms: mean {:.3f} sd {:.3f} min {:.3f} p1 {:.3f} p99 {:.3f} max {:.3f}".format(
            statistics.mean(gaps_ms), statistics.pstdev(gaps_ms), gaps_ms[0],
            gaps_ms[len(gaps_ms) // 100], gaps_ms[len(gaps_ms) * 99 // 100], gaps_ms[-1]))
    print(f"sender thread CPU {cpu.get(sender, 0.0):.2f} %  (all threads: "
          + ", ".join(f"{c:.2f}" for c in cpu.values()) + " %)")


if __name__ == "__main__":
    main()
