#!/usr/bin/env python3
"""Checks mandelbrot-frames against a separate Python model of the animation.

The model rounds every operation to single precision through struct, so it
shares no code and no compiler with the tool.
Usage: frame_tool_test.py TOOL... (the tool's command, an emulator's words first)
"""
import functools
import math
import os
import resource
import struct
import subprocess
import sys
import tempfile

from png_rgb import read_png

TOOL = sys.argv[1:]
failures = []
passed = 0


def check(name, condition, detail=""):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(f"{name}: {detail}")
        print(f"FAILED {name}: {detail}")


# --- the model ---------------------------------------------------------------

def f32(x):
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def to_int32(x):
    if math.isnan(x) or abs(x) >= 2.0**31:
        return -(2**31)
    return int(x)


def hsv(h, s, v):
    i = to_int32(f32(h / 60.0))
    f = f32(float(h) / 60.0 - float(i))
    V = f32(v * 255.0)
    p = f32(f32(1.0 - s) * V)
    q = f32(f32(1.0 - f32(f * s)) * V)
    t = f32(f32(1.0 - f32(f32(1.0 - f) * s)) * V)
    byte = [to_int32(x) & 0xFF for x in (V, p, q, t)]
    V, p, q, t = byte
    sector = int(math.fmod(i, 6))
    rows = {0: (p, t, V), 1: (p, V, q), 2: (t, V, p), 3: (V, q, p), 4: (V, p, t)}
    b2, b1, b0 = rows.get(sector, (q, p, V))
    return b2 << 16 | b1 << 8 | b0


def escape(cr, ci):
    zr = zi = zr2 = zi2 = 0.0
    for n in range(128):
        t = f32(zr * 2.0)
        zr = f32(f32(zr2 - zi2) + cr)
        zi = f32(f32(zi * t) + ci)
        zr2, zi2 = f32(zr * zr), f32(zi * zi)
        if f32(zr2 + zi2) > 4.0:
            return n
    return 128


COLORS = [hsv(1.0, float(n), 1.0 if n < 128 else 0.0) for n in range(129)]


class View:
    def __init__(self):
        self.zoom, self.re, self.im = 1.0, f32(-0.75), 0.5

    def render(self, w, h):
        half = f32(self.zoom * 0.5)
        words = []
        for y in range(h):
            ci = f32(f32(float(y - (h >> 1)) / f32(float(h) * half)) + self.im)
            for x in range(w):
                cr = f32(f32(f32(float(x - (w >> 1)) * 1.5) / f32(float(w) * half)) + self.re)
                words.append(COLORS[escape(cr, ci)])
        return words

    def advance(self, centre_word):
        self.zoom = f32(self.zoom + f32(0.1))
        if centre_word:
            self.re = f32(self.re + 0.0001)
            self.im = f32(self.im - 0.0001)


def fnv(words):
    h = 0xCBF29CE484222325
    for byte in struct.pack(f"<{len(words)}I", *words):
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


@functools.lru_cache(maxsize=None)
def model_line(w, h, ticks):
    """Renders every tick until the view settles, then only the centre word."""
    view, words, settled = View(), [], False
    for tick in range(1, ticks + 1):
        if tick == ticks or not settled:
            words = view.render(w, h)
            centre = words[(h >> 1) * w + (w >> 1)]
        else:
            centre = 0  # a settled centre point never escapes
        settled = settled or centre == 0
        view.advance(centre)
    return (f"tick={ticks} size={w}x{h} zoom={bits(view.zoom):08X} centerRe={bits(view.re):08X} "
            f"centerIm={bits(view.im):08X} frame={fnv(words):016X}")


# --- helpers -------------------------------------------------------------------

def tool(*args, limit=None):
    def restrict():
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return subprocess.run([*TOOL, *args], capture_output=True, preexec_fn=restrict)


# --- cases ---------------------------------------------------------------------

# The line equals the model, full runs and fast-forwarded ones alike.
for w, h, ticks in [(1, 1, 1), (4, 2, 1), (3, 2, 2), (8, 6, 3), (17, 9, 2), (16, 9, 886), (5, 4, 1200)]:
    expected = model_line(w, h, ticks)
    for extra in ([], ["--fast-forward"]):
        got = tool("--size", f"{w}x{h}", "--ticks", str(ticks), *extra).stdout.decode().strip()
        check(f"line {w}x{h} tick {ticks} {extra}", got == expected, f"{got!r} != {expected!r}")

# Fast-forward gives the same line as the full run on larger frames too.
for size, ticks in [("64x48", 900), ("33x17", 2000), ("0x5", 30), ("6x0", 30)]:
    full = tool("--size", size, "--ticks", str(ticks)).stdout
    fast = tool("--size", size, "--ticks", str(ticks), "--fast-forward").stdout
    check(f"fast-forward {size} {ticks}", full == fast and full.startswith(b"tick="), f"{full!r} != {fast!r}")

# --from M prints the full run's line whatever M is; --from N is --fast-forward.
for w, h, ticks, first in [(16, 9, 886, 880), (5, 4, 1200, 1), (5, 4, 1200, 600), (8, 6, 3, 3), (3, 2, 2, 2)]:
    expected = model_line(w, h, ticks)
    got = tool("--from", str(first), "--size", f"{w}x{h}", "--ticks", str(ticks)).stdout.decode().strip()
    check(f"--from {first} line {w}x{h} tick {ticks}", got == expected, f"{got!r} != {expected!r}")
for size, ticks in [("64x48", 900), ("0x5", 30)]:
    fast = tool("--size", size, "--ticks", str(ticks), "--fast-forward").stdout
    last = tool("--size", size, "--ticks", str(ticks), "--from", str(ticks)).stdout
    check(f"--from {ticks} {size} is --fast-forward", fast == last and fast.startswith(b"tick="), f"{fast!r} != {last!r}")

# Empty frames hash no words, yet the zoom still grows; the leftover centre
# word is zero, so the centre stays.
out = tool("--size", "0x0", "--ticks", "10").stdout.decode().strip()
view = View()
for _ in range(10):
    view.advance(0)
check("empty frame", out == f"tick=10 size=0x0 zoom={bits(view.zoom):08X} centerRe=BF400000 centerIm=3F000000 "
      "frame=CBF29CE484222325", out)

# Raw frames: every tick's words, little-endian; the PNG shows the last one
# with bits 16-23 as red and 0-7 as blue.
with tempfile.TemporaryDirectory() as tmp:
    png = os.path.join(tmp, "f.png")
    run = tool("--size", "7x5", "--ticks", "3", "--raw", "--png", png)
    frames = [list(struct.unpack("<35I", run.stdout[i * 140:(i + 1) * 140])) for i in range(3)]
    view, model = View(), []
    for _ in range(3):
        model.append(view.render(7, 5))
        view.advance(model[-1][2 * 7 + 3])
    check("raw frames", run.returncode == 0 and len(run.stdout) == 3 * 140 and frames == model,
          f"status {run.returncode}, {len(run.stdout)} bytes")
    w, h, rgb = read_png(png)
    shown = b"".join(bytes((x >> 16 & 0xFF, x >> 8 & 0xFF, x & 0xFF)) for x in model[2])
    check("png", (w, h, rgb) == (7, 5, shown), f"{w}x{h}")

    # --from M writes the frames of ticks M to N alone, the same as those ticks
    # of a full run, and its PNG is still tick N's.
    view, model = View(), []
    for _ in range(6):
        model.append(view.render(7, 5))
        view.advance(model[-1][2 * 7 + 3])
    run = tool("--size", "7x5", "--ticks", "6", "--from", "4", "--raw", "--png", png)
    expected = struct.pack("<105I", *(model[3] + model[4] + model[5]))
    check("--from raw frames", run.returncode == 0 and run.stdout == expected,
          f"status {run.returncode}, {len(run.stdout)} bytes")
    shown = b"".join(bytes((x >> 16 & 0xFF, x >> 8 & 0xFF, x & 0xFF)) for x in model[5])
    check("--from png", read_png(png) == (7, 5, shown))

    # Bad input: one line naming the problem and the usage, status 2.
    bad = [
        ([], "--size is missing"),
        (["--size", "4x4"], "--ticks is missing"),
        (["--size", "4x4", "--ticks"], "--ticks needs a value"),
        (["--size", "4", "--ticks", "1"], "--size wants WxH"),
        (["--size", "x4", "--ticks", "1"], "--size wants WxH"),
        (["--size", "4x-4", "--ticks", "1"], "--size wants WxH"),
        (["--size", "4x4x4", "--ticks", "1"], "--size wants WxH"),
        (["--size", "65536x1", "--ticks", "1"], "--size wants WxH"),
        (["--size", "4x4", "--ticks", "0"], "--ticks wants a whole number"),
        (["--size", "4x4", "--ticks", "-3"], "--ticks wants a whole number"),
        (["--size", "4x4", "--ticks", "1e3"], "--ticks wants a whole number"),
        (["--size", "4x4", "--ticks", "99999999999999999999"], "--ticks wants a whole number"),
        (["--size", "4x4", "--ticks", "1", "--colour"], "unknown argument"),
        (["--size", "4x4", "--ticks", "5", "--from"], "--from needs a value"),
        (["--size", "4x4", "--ticks", "5", "--from", "0"], "--from wants a whole number of at least 1"),
        (["--size", "4x4", "--ticks", "5", "--from", "-2"], "--from wants a whole number of at least 1"),
        (["--size", "4x4", "--ticks", "5", "--from", "2x"], "--from wants a whole number of at least 1"),
        (["--size", "4x4", "--ticks", "5", "--from", "6"], "--from wants a tick from 1 to the --ticks value 5"),
        (["--size", "4x4", "--ticks", "5", "--from", "3", "--fast-forward"], "give one"),
        (["--size", "4x4", "--from", "3"], "--ticks is missing"),
        (["--size", "0x4", "--ticks", "1", "--png", png], "--png needs a frame of at least 1x1"),
        (["--size", "4x4", "--ticks", "1", "--png", os.path.join(tmp, "no", "f.png")], "cannot write the PNG"),
    ]
    for args, message in bad:
        run = tool(*args)
        err = run.stderr.decode()
        check(f"error {args}", run.returncode == 2 and message in err and "usage:" in err
              and err.count("\n") == 1 and not run.stdout, f"status {run.returncode}: {err!r}")

# A frame that does not fit in the memory the process may use is refused with a
# message, not a crash. A 32-bit tool cannot address the largest frame at all;
# a 64-bit one is held to less with an address-space limit, which would hold
# an emulator instead and does not mix with sanitizers.
with open(TOOL[-1], "rb") as binary:
    is_32_bit = binary.read(5)[4] == 1  # the ELF class byte
if is_32_bit:
    run = tool("--size", "65535x65535", "--ticks", "1")
    err = run.stderr.decode()
    check("memory", run.returncode == 2 and "needs 17179344900 bytes, more than a 32-bit program can address" in err
          and "usage:" in err, f"status {run.returncode}: {err!r}")
elif not os.environ.get("FRAME_TOOL_SANITIZED"):
    run = tool("--size", "8000x8000", "--ticks", "1", limit=200 << 20)
    err = run.stderr.decode()
    check("memory", run.returncode == 2 and "needs 256000000 bytes, more than this process may allocate" in err,
          f"status {run.returncode}: {err!r}")

print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
