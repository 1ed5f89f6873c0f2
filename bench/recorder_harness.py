#!/usr/bin/env python3
"""Measures the record mode on a private JACK dummy server, 32 capture channels at 48 kHz.

1. CPU share: user + system time of the whole process over ten seconds of recording.
2. The longest writer stall absorbed without a drop. ch01.wav is a named pipe shrunk to one page;
   the reader stops in the middle of one of the writer's 64 KiB flushes, so the writer is blocked
   in write() for exactly the stall, as on a stalled disk, while the audio callback keeps queueing.
   The "dropped" count of the next "rec" line tells whether the queue overflowed.

Usage: bench/recorder_harness.py [build dir] [stall seconds ...]   (Linux, jackd on the PATH)
"""
import fcntl
import json
import os
import subprocess
import sys
import tempfile
import time

F_SETPIPE_SZ = 1031
FLUSH = 65535  # bytes the writer hands to the file per flush (21845 samples)

build = sys.argv[1] if len(sys.argv) > 1 else "build"
stalls = [float(s) for s in sys.argv[2:]] or [3.0, 3.5, 3.8, 3.9, 4.0, 4.2]
binary = os.path.abspath(os.path.join(build, "mixengine"))
server = "mixengine-harness-%d" % os.getpid()
env = dict(os.environ, JACK_DEFAULT_SERVER=server)
jack = subprocess.Popen(["jackd", "-R", "-n", server, "-d", "dummy", "-r", "48000",
                         "-p", "256", "-C", "32", "-P", "8"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(2)


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def rec_lines(out):
    return [json.loads(l) for l in out.splitlines() if '"t":"rec"' in l]


try:
    with tempfile.TemporaryDirectory() as work:
        # 1. CPU share.
        rec = subprocess.Popen([binary, "--record", "system", "--dir", work + "/cpu"], env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        first = work + "/cpu/ch01.wav"
        time.sleep(2)
        t0, c0, s0 = time.monotonic(), cpu_ticks(rec.pid), os.path.getsize(first)
        time.sleep(10)
        t1, c1, s1 = time.monotonic(), cpu_ticks(rec.pid), os.path.getsize(first)
        out, _ = rec.communicate("stop\n", timeout=30)
        hz = os.sysconf("SC_CLK_TCK")
        # Per second of audio delivered: a loaded machine may run the dummy server slower than
        # the wall clock.
        audio_s = (s1 - s0) / 3 / 48000
        print("cpu: %.2f%% of one core per second of audio (32 channels, 48 kHz; %.1f s of "
              "audio in %.1f s)" % ((c1 - c0) / hz / audio_s * 100, audio_s, t1 - t0))
        print("last line:", out.splitlines()[-1])

        # 2. Writer stalls.
        for stall in stalls:
            folder = "%s/stall-%s" % (work, stall)
            os.makedirs(folder)
            fifo = folder + "/ch01.wav"
            os.mkfifo(fifo)
            rec = subprocess.Popen([binary, "--record", "system", "--dir", folder], env=env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            fd = os.open(fifo, os.O_RDONLY)  # the recorder's create() waits for this
            fcntl.fcntl(fd, F_SETPIPE_SZ, 4096)
            start, total, stalled_at = time.monotonic(), 0, None
            while True:
                if stalled_at is None and time.monotonic() - start > 2.0 and \
                        10000 <= (total - 44) % FLUSH < 30000:
                    stalled_at = time.monotonic()
                    time.sleep(stall)
                if stalled_at is not None and time.monotonic() - stalled_at > stall + 2.5:
                    break
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                total += len(chunk)
            rec.stdin.write("stop\n")
            rec.stdin.flush()
            while os.read(fd, 65536):
                pass
            os.close(fd)
            out, _ = rec.communicate(timeout=30)
            lines = rec_lines(out)
            dropped = lines[-1]["dropped"] if lines else None
            # The other files are plain: their length says how fast the server really ran.
            frames = (os.path.getsize(folder + "/ch02.wav") - 44) // 3
            wall = time.monotonic() - start
            print("stall %.2f s: dropped %s samples (server at %.2f x real time)"
                  % (stall, dropped, frames / 48000 / wall))
finally:
    jack.terminate()
    jack.wait()
