#!/usr/bin/env python3
"""Stands in for mixengine in the console's tests: prints a fixed set of lines, including the
feedback and auto-EQ messages, then answers every command with a warning that quotes it."""
import json
import sys

LINES = [
    {"t": "ready", "mode": "sim", "rate": 48000.0, "inputs": 4, "outputs": 2, "buffer": 256,
     "in_name": "Test signals", "out_name": "None (test mode)", "latency_ms": 10.6},
    {"t": "m", "in": [0.5, 0.25, 0, 0] + [0] * 28, "gate": [1.0, 0.1] + [1.0] * 30,
     "dyn": [0.5] + [1.0] * 31, "amix": [1.0] * 32, "bus": [0] * 8, "busGR": [1.0] * 8,
     "main": [0.5, 0.25], "mainGR": 1.0, "mono": 0, "monoGR": 1.0, "out": [0.5, 0.25],
     "loud": [-23.0, -22.5, -24.1], "xruns": 0},
    {"f": 1250.0, "t": "fba.detect", "target": "bus.3"},
    {"f": 1250.0, "g": -6.0, "t": "fba.notch", "target": "bus.3"},
    {"mode": "live", "notches": [[1250.0, -6.0, False], [2500.0, -3.0, True]], "on": True,
     "suggest": [800.0], "t": "fba", "target": "main"},
    {"g": [0.0] * 8 + [-1.5] + [0.0] * 12 + [2.0] + [0.0] * 9, "id": "in.2", "on": True,
     "t": "aeq"},
    {"g": [0.0] * 31, "id": "main", "on": False, "t": "aeq"},
]

for line in LINES:
    print(json.dumps(line), flush=True)
for command in sys.stdin:
    print(json.dumps({"t": "warn", "text": "got " + command.strip()}), flush=True)
    if json.loads(command).get("t") == "quit":
        break
