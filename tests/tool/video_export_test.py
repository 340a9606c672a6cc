#!/usr/bin/env python3
"""Runs the README's video command as written (smaller and shorter) and checks
that the video decodes to exactly the frames the tool's PNGs show.

Usage: video_export_test.py README TOOL... (the tool's command, an emulator's words first)"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

from png_rgb import read_png

readme, tool = sys.argv[1], [os.path.abspath(word) for word in sys.argv[2:]]
commands = [line.strip() for line in open(readme) if "--raw | ffmpeg" in line]
if len(commands) != 1:
    sys.exit(f"expected one video command in {readme}, found {len(commands)}")
command = commands[0].replace("build/host/tools/mandelbrot-frames", shlex.join(tool))
command = re.sub(r"\b\d+x\d+\b", "48x32", command)
command = re.sub(r"--ticks \d+", "--ticks 4", command)
output = re.search(r"(\S+\.mkv)$", command).group(1)

failures = 0
with tempfile.TemporaryDirectory() as tmp:
    subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp, check=True, capture_output=True)
    video = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(tmp, output),
                            "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    frame_bytes = 48 * 32 * 3
    if len(video) != 4 * frame_bytes:
        sys.exit(f"the video has {len(video) / frame_bytes} frames, not 4")
    for tick in range(1, 5):
        png = os.path.join(tmp, f"{tick}.png")
        subprocess.run([*tool, "--size", "48x32", "--ticks", str(tick), "--png", png], check=True, capture_output=True)
        if read_png(png) != (48, 32, video[(tick - 1) * frame_bytes:tick * frame_bytes]):
            print(f"FAILED: video frame {tick} differs from the PNG of tick {tick}")
            failures += 1
print(f"{4 - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
