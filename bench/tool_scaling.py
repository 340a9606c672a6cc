#!/usr/bin/env python3
"""Whole-process timings of the frame tool on one thread and on several:
frames at 1920x1080 from tick 5000 on, 1x1 frames (where a frame has one band
and helper threads have nothing to do), and one-row frames on 1,024 threads.
Each figure is the median of several runs' wall time. Figures only: no pass
or fail on time (other work on the machine moves them).

Usage: tool_scaling.py TOOL (the frame tool, build/host/tools/mandelbrot-frames
after the host preset's build)"""
import os
import statistics
import subprocess
import sys
import time

if len(sys.argv) != 2:
    sys.exit(__doc__)
tool = sys.argv[1]
cpus = len(os.sched_getaffinity(0))


def median_seconds(args, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([tool, *args], check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def compare(title, args, forms, runs, per=1):
    """Times each thread form of the same run; per: frames a run renders."""
    print(f"{title}\n  {os.path.basename(tool)} {' '.join(args)} --threads ...")
    base = None
    for label, extra in forms:
        seconds = median_seconds([*args, *extra], runs)
        base = base or seconds
        print(f"  {label:<26} {seconds * 1000 / per:9.2f} ms{' a frame' if per > 1 else ''}"
              f"   speed-up {base / seconds:.2f}x")


print(f"frame tool thread scaling, whole process, median of runs; this process may run on {cpus} CPUs")
FRAMES = 20
compare(f"1920x1080, {FRAMES} frames from tick 5000 (target: 2 threads at least 1.85x one)",
        ["--size", "1920x1080", "--from", "5000", "--ticks", str(5000 + FRAMES - 1)],
        [("--threads 1", ["--threads", "1"]), ("--threads 2", ["--threads", "2"]),
         (f"default ({cpus} threads)", [])], runs=5, per=FRAMES)
compare("1x1, 100,000 frames (target: default threads within 1.5x of one)",
        ["--size", "1x1", "--ticks", "100000"],
        [("--threads 1", ["--threads", "1"]), (f"default ({cpus} threads)", [])], runs=5)
compare("640x1, 100 frames", ["--size", "640x1", "--ticks", "100"],
        [("--threads 1", ["--threads", "1"]), ("--threads 1024", ["--threads", "1024"])], runs=3)
