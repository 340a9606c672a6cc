#!/usr/bin/env python3
"""Checks that the 32-bit frame tool gives exactly the 64-bit one's output:
the same lines, fast-forwarded deep into the zoom too, and the same raw frames.

Usage: builds_agree_test.py TOOL64 TOOL32... (the 32-bit tool's command, an emulator's words first)"""
import os
import subprocess
import sys

tool64, tool32 = [sys.argv[1]], sys.argv[2:]
if not os.access(tool64[0], os.X_OK):
    sys.exit(f"no 64-bit frame tool at {tool64[0]}: build the host preset first")

cases = [
    ["--size", "1x1", "--ticks", "1"],
    ["--size", "17x3", "--ticks", "886"],
    ["--size", "250x141", "--ticks", "5000", "--fast-forward"],
    ["--size", "640x360", "--ticks", "100000", "--fast-forward"],
    ["--size", "301x200", "--ticks", "100000", "--fast-forward", "--path", "scalar"],
    ["--size", "1920x1080", "--ticks", "18073720", "--fast-forward"],
    ["--size", "0x5", "--ticks", "7"],
    ["--size", "45x7", "--ticks", "60", "--raw"],
    ["--size", "160x90", "--ticks", "100030", "--from", "100000", "--raw"],
]
failures = 0
for args in cases:
    # Both builds run at once: the deepest case takes seconds each.
    runs = [subprocess.Popen([*tool, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE) for tool in (tool64, tool32)]
    (out64, err64), (out32, err32) = (run.communicate() for run in runs)
    status = (runs[0].returncode, runs[1].returncode)
    if status == (0, 0) and out64 and out32 == out64:
        shown = out64.decode().strip() if b"tick=" in out64 else f"{len(out64)} bytes"
        print(f"ok: {' '.join(args)}: {shown}")
    else:
        failures += 1
        print(f"FAILED {' '.join(args)}: status {status}, {len(out64)} and {len(out32)} bytes, "
              f"{out64[:120]!r} != {out32[:120]!r}; {(err64 + err32).decode()}")
print(f"{len(cases) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
