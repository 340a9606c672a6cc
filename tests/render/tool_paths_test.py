#!/usr/bin/env python3
"""Checks mandelbrot-frames --path: every path the CPU has prints the same
line as the scalar reference, raw frames agree word for word, and a bad or
missing path fails with one line of usage and exit status 2.
Usage: tool_paths_test.py TOOL... (the tool's command, an emulator's words first)"""
import subprocess
import sys

TOOL = sys.argv[1:]
PATHS = ["scalar", "sse2", "avx2", "avx512", "auto"]
failures = []


def run(*args):
    return subprocess.run([*TOOL, *args], capture_output=True)


def check(name, condition, detail=""):
    if not condition:
        failures.append(name)
        print(f"FAILED {name}: {detail}")


available = []
for path in PATHS:
    result = run("--size", "3x2", "--ticks", "1", "--path", path)
    if result.returncode == 0:
        available.append(path)
        continue
    err = result.stderr.decode()
    check(f"{path} refused cleanly", result.returncode == 2 and err.count("\n") == 1 and "usage:" in err
          and f"cannot run the '{path}' render path" in err, repr(err))
check("scalar and auto always run", "scalar" in available and "auto" in available, available)
print("paths this CPU runs:", " ".join(available))

cases = [("1x1", "1"), ("17x3", "886"), ("33x1", "3"), ("1x33", "2000"), ("250x141", "5000"),
         ("301x200", "100000"), ("640x480", "1200"), ("0x5", "7"), ("5x0", "7")]
for size, ticks in cases:
    lines = {p: run("--size", size, "--ticks", ticks, "--fast-forward", "--path", p).stdout for p in available}
    for p in available:
        check(f"{size} tick {ticks} {p}", lines[p] == lines["scalar"] and lines[p].startswith(b"tick="),
              f"{lines[p]!r} != {lines['scalar']!r}")

raw = {p: run("--size", "45x7", "--ticks", "890", "--raw", "--path", p).stdout for p in available}
for p in available:
    check(f"raw frames {p}", raw[p] == raw["scalar"] and len(raw[p]) == 45 * 7 * 4 * 890)

for bad in (["--path", "avx"], ["--path", "AVX2"], ["--path"]):
    result = run("--size", "3x2", "--ticks", "1", *bad)
    err = result.stderr.decode()
    check(f"{bad} refused", result.returncode == 2 and err.count("\n") == 1 and "usage:" in err, repr(err))

print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
