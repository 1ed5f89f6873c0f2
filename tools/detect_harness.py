#!/usr/bin/env python3
"""Measures the detector service (mixengine --detect) through its real sockets.

  detect_harness.py BINARY throughput   datagrams per second kept up with: 64 channels on, each
                                        datagram 1024 samples of a steady sine, no detection lost
  detect_harness.py BINARY load         CPU share with 8 channels at 48 kHz in 10 ms datagrams

A steady sine is reported in the 8th frame and every 8th after it, so the detections a channel
should give follow from the samples it was sent; fewer means datagrams were lost on the way.
"""
import json
import math
import os
import socket
import struct
import subprocess
import sys
import threading
import time

RATE = 48000


class Service:
    def __init__(self, binary):
        self.p = subprocess.Popen([binary, "--detect"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.lines = []
        self.lock = threading.Lock()
        ready = json.loads(self.p.stdout.readline())
        self.port = ready["port"]
        # Read standard output all along: a full pipe would stall the service's receive loop.
        threading.Thread(target=self._read, daemon=True).start()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)

    def _read(self):
        for line in self.p.stdout:
            with self.lock:
                self.lines.append((time.monotonic(), json.loads(line)))

    def command(self, obj):
        self.p.stdin.write((json.dumps(obj) + "\n").encode())

    def drain(self, quiet_for=0.5):
        """Every line so far, once none has come for `quiet_for` seconds."""
        while True:
            with self.lock:
                last = self.lines[-1][0] if self.lines else 0.0
            if time.monotonic() - last >= quiet_for:
                with self.lock:
                    return [m for _, m in self.lines]
            time.sleep(0.05)

    def cpu_seconds(self):
        with open(f"/proc/{self.p.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def quit(self):
        self.command({"t": "quit"})
        self.p.wait(10)


def sine_payloads(samples_per, count, hz=1000.0):
    out = []
    n = 0
    for _ in range(count):
        out.append(struct.pack(f"<{samples_per}f", *(
            0.1 * math.sin(2 * math.pi * hz * (n + k) / RATE) for k in range(samples_per))))
        n += samples_per
    return out


def expected_reports(samples, persist=8):
    frames = 0 if samples < 4096 else 1 + (samples - 4096) // 2048
    return frames // persist


def throughput(binary):
    per_channel = 96  # datagrams of 1024 samples per channel: 98304 samples, 47 frames
    payloads = sine_payloads(1024, per_channel)
    expected = 64 * expected_reports(per_channel * 1024)
    for rate in (2000, 5000, 10000, 20000, 30000, 40000, 60000):
        s = Service(binary)
        for c in range(64):
            s.command({"t": "cfg", "i": c, "on": True})
        time.sleep(0.3)
        start = time.monotonic()
        cpu0 = s.cpu_seconds()
        sent = 0
        for k in range(per_channel):
            for c in range(64):
                s.sock.sendto(bytes([c]) + payloads[k], ("127.0.0.1", s.port))
                sent += 1
                due = start + sent / rate
                while time.monotonic() < due:
                    pass
        elapsed = time.monotonic() - start
        lines = s.drain()
        cpu = s.cpu_seconds() - cpu0
        got = sum(1 for m in lines if m.get("t") == "detect")
        s.quit()
        achieved = sent / elapsed
        print(f"asked {rate}/s, sent {achieved:.0f}/s: {got} of {expected} detections"
              f" ({'no loss' if got == expected else 'LOSS'}), service CPU {cpu:.2f} s"
              f" = {cpu / sent * 1e6:.0f} us a datagram")


def load(binary, secs=20.0):
    s = Service(binary)
    for c in range(8):
        s.command({"t": "cfg", "i": c, "on": True, "spec": True})
    time.sleep(0.3)
    payloads = sine_payloads(480, int(secs * 100))
    start = time.monotonic()
    cpu0 = s.cpu_seconds()
    for k, payload in enumerate(payloads):
        due = start + k * 0.01
        while time.monotonic() < due:
            time.sleep(0.0005)
        for c in range(8):
            s.sock.sendto(bytes([c]) + payload, ("127.0.0.1", s.port))
    elapsed = time.monotonic() - start
    cpu = s.cpu_seconds() - cpu0
    lines = s.drain()
    s.quit()
    kinds = {}
    for m in lines:
        kinds[m["t"]] = kinds.get(m["t"], 0) + 1
    print(f"8 channels, 10 ms datagrams for {elapsed:.1f} s: service CPU {100 * cpu / elapsed:.2f} %"
          f" of a core; lines {kinds}")


if __name__ == "__main__":
    {"throughput": throughput, "load": load}[sys.argv[2]](sys.argv[1])
