#!/usr/bin/env python3
"""Runs the README's video commands as written (smaller and shorter) and checks
that each video decodes to exactly the frames the tool's PNGs show.

Usage: video_export_test.py README TOOL... (the tool's command, an emulator's words first)"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

from png_rgb import read_png

readme, tool = sys.argv[1], [os.path.abspath(word) for word in sys.argv[2:]]
lines = [line.strip() for line in open(readme)]
commands = [line for line in lines if "--raw | ffmpeg" in line and not line.startswith("parallel ")]
# The video in parts: GNU parallel renders tick ranges, ffmpeg's concat demuxer joins them.
parts = [line for line in lines if line.startswith(("parallel ", "printf \"file ", "ffmpeg -loglevel error -f concat"))]
if [p.split()[0] for p in parts] != ["parallel", "printf", "ffmpeg"]:
    sys.exit(f"expected a parallel, a printf and a concat command in {readme}, found {parts}")
if not any("--from" in c for c in commands) or not any("--from" not in c for c in commands):
    sys.exit(f"expected video commands with and without --from in {readme}, found {len(commands)} commands")

TICKS, FROM = 5, 3
passed = failures = 0
with tempfile.TemporaryDirectory() as tmp:
    for tick in range(1, TICKS + 1):
        png = os.path.join(tmp, f"{tick}.png")
        subprocess.run([*tool, "--size", "48x32", "--ticks", str(tick), "--png", png], check=True, capture_output=True)
    for command in commands:
        command = command.replace("build/host/tools/mandelbrot-frames", shlex.join(tool))
        command = re.sub(r"\b\d+x\d+\b", "48x32", command)
        command = re.sub(r"--ticks \d+", f"--ticks {TICKS}", command)
        command = re.sub(r"--from \d+", f"--from {FROM}", command)
        first = FROM if "--from" in command else 1
        output = re.search(r"(\S+\.mkv)$", command).group(1)
        subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp, check=True, capture_output=True)
        video = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(tmp, output),
                                "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
        frame_bytes = 48 * 32 * 3
        frames = TICKS + 1 - first
        if len(video) != frames * frame_bytes:
            print(f"FAILED: {output} has {len(video) / frame_bytes} frames, not {frames}")
            failures += 1
            continue
        for tick in range(first, TICKS + 1):
            start = (tick - first) * frame_bytes
            if read_png(os.path.join(tmp, f"{tick}.png")) == (48, 32, video[start:start + frame_bytes]):
                passed += 1
            else:
                print(f"FAILED: {output} frame {tick - first + 1} differs from the PNG of tick {tick}")
                failures += 1

    # Two halves rendered apart and joined are the one run's frames, byte for byte.
    ranges = re.search(r"::: ([\d ]+) ::: ([\d ]+)$", parts[0])
    if not ranges or len(ranges.group(1).split()) != 2:
        sys.exit(f"expected two --from and --ticks ranges in {parts[0]}")
    script = [parts[0].replace("build/host/tools/mandelbrot-frames", shlex.join(tool)).replace(
        ranges.group(0), f"::: 1 {FROM + 1} ::: {FROM} {TICKS}"), *parts[1:]]
    script = [re.sub(r"\b\d+x\d+\b", "48x32", command) for command in script]
    folder = os.path.join(tmp, "parts")  # apart from the videos above, one of the same name
    os.mkdir(folder)
    subprocess.run(["bash", "-o", "pipefail", "-c", "\n".join(["set -e", *script])], cwd=folder, check=True,
                   capture_output=True)
    joined = re.search(r"(\S+\.mkv)$", parts[2]).group(1)
    video = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(folder, joined), "-f", "rawvideo",
                            "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    words = subprocess.run([*tool, "--size", "48x32", "--ticks", str(TICKS), "--raw"], check=True,
                           capture_output=True).stdout
    one_run = b"".join(bytes((words[i + 2], words[i + 1], words[i])) for i in range(0, len(words), 4))
    if len(one_run) == TICKS * 48 * 32 * 3 and video == one_run:
        passed += 1
    else:
        print(f"FAILED: the joined {joined} ({len(video)} bytes) is not the one run's frames ({len(one_run)} bytes)")
        failures += 1
print(f"{passed} passed, {failures} failed")
sys.exit(1 if failures else 0)
