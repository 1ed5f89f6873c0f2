#!/usr/bin/env python3
"""The terminal console as a person meets it: on a screen (tmux) against the real engine, and as
plain lines against a stand-in engine that reports feedback and auto-EQ events.

    mixconsole_test.py CONSOLE ENGINE
"""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

CONSOLE, ENGINE = sys.argv[1], sys.argv[2]
FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_engine.py")


def wait_for(probe, seconds=20.0):
    """Polls until probe() returns something true; returns it (or the last value)."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


class Screen(unittest.TestCase):
    def setUp(self):
        self.server = f"mixconsole-test-{os.getpid()}"
        command = f"{CONSOLE} --engine {ENGINE}; echo CONSOLE-EXITED $?; sleep 60"
        subprocess.run(["tmux", "-L", self.server, "-f", "/dev/null", "new-session", "-d",
                        "-x", "100", "-y", "32", command], check=True)

    def tearDown(self):
        subprocess.run(["tmux", "-L", self.server, "kill-server"], capture_output=True)

    def screen(self):
        return subprocess.run(["tmux", "-L", self.server, "capture-pane", "-p"],
                              capture_output=True, text=True).stdout

    def keys(self, *keys):
        subprocess.run(["tmux", "-L", self.server, "send-keys"] + list(keys), check=True)

    def bridge(self):
        rows = [l for l in self.screen().splitlines() if re.match(r"^ +-?\d+ [ #!:]", l)]
        return "\n".join(r[:40] for r in rows)

    def test_meters_move_commands_take_effect_and_history_recalls_them(self):
        self.assertTrue(wait_for(lambda: "Ready: sim at 48000 Hz, 16 in" in self.screen()),
                        self.screen())
        self.assertIn("1234567890123456 12345678 M LR", self.screen())
        first = wait_for(lambda: "#" in self.bridge() and self.bridge())
        self.assertTrue(first, self.screen())
        self.assertTrue(wait_for(lambda: self.bridge() != first), "the meters never moved")

        self.assertIn("M   --   S   --   I   --  LUFS", self.screen())
        self.keys("loud src=main", "Enter")
        self.assertTrue(wait_for(lambda: re.search(r"M +-?\d+\.\d S +-?\d+\.\d I", self.screen())),
                        self.screen())
        self.assertIn('> {"t":"loud","src":"main"}', self.screen())

        self.keys("Up")
        self.assertTrue(wait_for(lambda: "> loud src=main" in self.screen()), self.screen())
        self.keys("Escape", "not json at all {", "Enter")
        self.assertTrue(wait_for(lambda: "Not a command" in self.screen()), self.screen())
        self.keys("quit", "Enter")
        self.assertTrue(wait_for(lambda: "CONSOLE-EXITED 0" in self.screen()), self.screen())


class PlainLines(unittest.TestCase):
    def run_console(self, args, seconds=30):
        return subprocess.run([CONSOLE] + args, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=seconds)

    def test_events_corrections_and_script_commands_in_order(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("# warm up\nloud src=main\nsleep 0.3\n"
                    '{"t":"fba","target":"main","on":true}\n'
                    "sleep 0.2\nstrip i=2 s={\"gain_db\": 6}\nquit\n")
        try:
            done = self.run_console(["--engine", FAKE, "--script", f.name])
        finally:
            os.unlink(f.name)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertEqual(done.stderr, "")
        lines = done.stdout.splitlines()
        expected = [
            "Ready: sim at 48000 Hz, 4 in, 2 out (Test signals / None (test mode))",
            "FBA bus.3: feedback at 1250 Hz",
            "FBA bus.3: notch at 1250 Hz, -6.0 dB",
            "FBA main on (live): 1250 Hz -6.0 dB, 2500 Hz -3.0 dB fixed; suggests 800 Hz",
            "AEQ in.2: 125 -1.5, 2.5k +2.0",
            "AEQ main off",
            'WARN: got {"t":"loud","src":"main"}',
            'WARN: got {"t":"fba","target":"main","on":true}',
            'WARN: got {"t":"strip","i":2,"s":{"gain_db":6}}',
            'WARN: got {"t":"quit"}',
        ]
        found = [l for l in lines if l in expected]
        self.assertEqual(found, expected, done.stdout)

    def test_exercise_from_the_library_is_set_up_on_the_engine(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("sleep 1.5\n")
        try:
            done = self.run_console(["--engine", ENGINE, "--exercise", "1", "--script", f.name])
        finally:
            os.unlink(f.name)
        self.assertEqual(done.returncode, 0, done.stdout)
        out = done.stdout
        self.assertRegex(out, r"(?m)^Exercise: .+$")
        self.assertRegex(out, r"(?m)^Goal: .+$")
        self.assertRegex(out, r'(?m)^> \{"t":"patch"')
        self.assertRegex(out, r"(?m)^Ready: sim at 48000 Hz")
        self.assertNotIn("WARN", out)
        missing = self.run_console(["--engine", ENGINE, "--exercise", "no-such-drill"])
        self.assertNotEqual(missing.returncode, 0)
        self.assertIn("No exercise 'no-such-drill' in the library", missing.stderr)

    def test_room_exercise_shows_the_margin_and_the_ringing_frequency(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("sleep 1.5\n")
        try:
            done = self.run_console(["--engine", ENGINE, "--exercise", "ring-out-wedge-room",
                                     "--script", f.name])
        finally:
            os.unlink(f.name)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(done.stdout, r"(?m)^Room  margin +\d+\.\d dB  rings at \d+ Hz$")
        self.assertNotIn("WARN", done.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
