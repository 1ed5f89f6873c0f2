#!/usr/bin/env python3
"""Runs every example of docs/protocol.md against the real executable.

An example is a fenced block whose first line starts with "$ mixengine". Its lines are steps:
  $ mixengine ARGS          start the process (RECORDINGS becomes a folder of two 10 s mono
                            tracks and a stereo file)
  > LINE                    write LINE to its standard input
  < OBJECT                  a line written after the last command holds OBJECT's members (see
                            matches()); the lines expected after one command may come in any order
  first OBJECT              the first line the process wrote holds OBJECT's members
  raw TEXT                  a line written after the last command starts with TEXT, byte for byte
  no OBJECT                 no line written after the last command so far holds OBJECT's members
  udp PORT BYTES [BITS LOW HIGH]  a datagram of BYTES bytes arrives on loopback PORT (whose
                            BITS-bit samples range from exactly LOW to exactly HIGH)
  sine CH HZ DBFS SECONDS [N]  send that sine (peak level DBFS) to the detector service's port,
                            channel CH, N samples per datagram (480 unless given)
  exit N                    close its input; it ends with status N
Every run must leave standard error empty.

Usage: protocol_examples_test.py MIXENGINE PROTOCOL_MD
"""
import json
import math
import os
import queue
import shlex
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

LINE_TIMEOUT_S = 15.0
ELLIPSIS = "..."


def number_matches(actual, expected):
    if isinstance(actual, bool) or not isinstance(actual, (int, float)):
        return False
    return abs(actual - expected) <= 0.02 * abs(expected) + 0.005


def matches(actual, expected):
    """Members of `expected` appear in `actual`; numbers within 2 % + 0.005; arrays element by
    element, the same length unless the expected array ends with "..." (then a prefix)."""
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(
            k in actual and matches(actual[k], v) for k, v in expected.items())
    if isinstance(expected, list):
        if not isinstance(actual, list):
            return False
        if expected and expected[-1] == ELLIPSIS:
            head = expected[:-1]
            return len(actual) >= len(head) and all(map(matches, actual, head))
        return len(actual) == len(expected) and all(map(matches, actual, expected))
    if isinstance(expected, bool) or expected is None or isinstance(expected, str):
        return type(actual) is type(expected) and actual == expected
    return number_matches(actual, expected)


def examples(markdown):
    blocks, block, inside = [], None, False
    for n, line in enumerate(markdown.splitlines(), 1):
        if line.startswith("```"):
            if inside and block is not None:
                blocks.append(block)
            inside, block = not inside, None
            continue
        if inside:
            if block is None and line.startswith("$ mixengine"):
                block = (n, [])
            if block is not None and line.strip():
                block[1].append(line)
    return blocks


def write_recordings(folder):
    for track, hz in ((1, 220.0), (2, 330.0)):
        with wave.open(os.path.join(folder, "ch%02d.wav" % track), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(48000)
            frames = bytearray()
            for i in range(48000 * 10):
                frames += struct.pack("<h", int(8000 * math.sin(2 * math.pi * hz * i / 48000)))
            w.writeframes(bytes(frames))
    # A stereo file among the tracks, which the simulation leaves out.
    with wave.open(os.path.join(folder, "ch03.wav"), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(bytes(4 * 48000))


class Run:
    def __init__(self, binary, args):
        self.proc = subprocess.Popen([binary] + args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.raw = []
        self.arrived = threading.Condition()
        self.mark = 0  # output lines before this one came before the last command
        self.ended = False  # standard output has been read to its end
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                value = json.loads(raw)
            except ValueError:
                value = {"unparsable": raw.decode("utf-8", "replace")}
            with self.arrived:
                self.lines.append(value)
                self.raw.append(raw.decode("utf-8", "replace"))
                self.arrived.notify_all()
        with self.arrived:
            self.ended = True
            self.arrived.notify_all()

    def send(self, text):
        with self.arrived:
            self.mark = len(self.lines)
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    def expect(self, pattern, start=None, only_one=False, raw=False):
        deadline = time.monotonic() + LINE_TIMEOUT_S
        with self.arrived:
            i = self.mark if start is None else start
            while True:
                while i < len(self.lines):
                    found = (self.raw[i].startswith(pattern) if raw
                             else matches(self.lines[i], pattern))
                    if found:
                        return self.lines[i]
                    if only_one:
                        raise AssertionError("line %d is %s, not %s"
                                             % (i + 1, self.raw[i][:160].rstrip(), pattern))
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0 or (self.ended and i == len(self.lines)):
                    recent = [json.dumps(l)[:160] for l in self.lines[-3:]]
                    raise AssertionError("no line matching %s; last lines:\n  %s"
                                         % (pattern if raw else json.dumps(pattern),
                                            "\n  ".join(recent)))
                self.arrived.wait(min(left, 0.2))

    def expect_none(self, pattern):
        with self.arrived:
            for line in self.lines[self.mark:]:
                if matches(line, pattern):
                    raise AssertionError("unexpected line %s" % json.dumps(line)[:160])

    def latest(self, kind):
        with self.arrived:
            for line in reversed(self.lines):
                if line.get("t") == kind:
                    return line
        raise AssertionError("no %s line yet" % kind)

    def finish(self, status=None):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            code = self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("the process did not end after its input was closed")
        err = self.proc.stderr.read()
        if err:
            raise AssertionError("standard error was written: %r" % err[:300])
        if status is not None and code != status:
            raise AssertionError("exit status %d, documented %d" % (code, status))


def send_sine(run, channel, hz, dbfs, seconds, per_datagram=480):
    port = run.latest("ready").get("port")
    amplitude = 10 ** (dbfs / 20)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    total = int(48000 * seconds)
    for start in range(0, total, per_datagram):
        samples = [amplitude * math.sin(2 * math.pi * hz * (start + k) / 48000)
                   for k in range(per_datagram)]
        sock.sendto(bytes([channel]) + struct.pack("<%df" % per_datagram, *samples),
                    ("127.0.0.1", port))
        time.sleep(per_datagram / 480000)  # keep within the receiver's socket buffer
    sock.close()


def sample_range(data, bits):
    width = bits // 8
    values = [int.from_bytes(data[i:i + width], "little", signed=True)
              for i in range(0, len(data) - width + 1, width)]
    return min(values), max(values)


def await_datagram(sockets, port, size, bits=None, low=None, high=None):
    sock = sockets[port]
    deadline = time.monotonic() + LINE_TIMEOUT_S
    while time.monotonic() < deadline:
        sock.settimeout(max(deadline - time.monotonic(), 0.01))
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        if len(data) == size and (bits is None or sample_range(data, bits) == (low, high)):
            return
    raise AssertionError("no %d-byte datagram on port %d%s" % (
        size, port, "" if bits is None else " with samples from %d to %d" % (low, high)))


def run_example(binary, steps, recordings):
    args = [recordings if a == "RECORDINGS" else a for a in shlex.split(steps[0])[2:]]
    sockets = {}
    for step in steps:
        if step.startswith("udp "):
            port = int(step.split()[1])
            if port not in sockets:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind(("127.0.0.1", port))
                sockets[port] = s
    run = Run(binary, args)
    status = None
    try:
        for step in steps[1:]:
            if step.startswith("> "):
                run.send(step[2:])
            elif step.startswith("< "):
                run.expect(json.loads(step[2:]))
            elif step.startswith("first "):
                run.expect(json.loads(step[6:]), start=0, only_one=True)
            elif step.startswith("raw "):
                run.expect(step[4:], raw=True)
            elif step.startswith("no "):
                run.expect_none(json.loads(step[3:]))
            elif step.startswith("udp "):
                _, port, size, *samples = step.split()
                await_datagram(sockets, int(port), int(size), *map(int, samples))
            elif step.startswith("sine "):
                _, channel, hz, dbfs, seconds, *per = step.split()
                send_sine(run, int(channel), float(hz), float(dbfs), float(seconds),
                          *map(int, per))
            elif step.startswith("exit "):
                status = int(step.split()[1])
                break
            else:
                raise AssertionError("unknown step: " + step)
    finally:
        for s in sockets.values():
            s.close()
        if run.proc.poll() is None and status is None:
            try:
                run.send('{"t":"quit"}')
            except BrokenPipeError:
                pass
    run.finish(status)


def main():
    binary, document = sys.argv[1], sys.argv[2]
    with open(document, encoding="utf-8") as f:
        blocks = examples(f.read())
    if not blocks:
        print("no examples found in " + document)
        return 1
    failures = 0
    with tempfile.TemporaryDirectory() as recordings:
        write_recordings(recordings)
        for line_no, steps in blocks:
            try:
                run_example(binary, steps, recordings)
                print("ok   %s:%d %s" % (os.path.basename(document), line_no, steps[0]))
            except AssertionError as e:
                failures += 1
                print("FAIL %s:%d %s\n     %s" % (os.path.basename(document), line_no, steps[0], e))
    print("%d examples, %d failed" % (len(blocks), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
