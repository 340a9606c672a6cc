#!/usr/bin/env python3
"""Checks mandelbrot-frames against a separate Python model of the animation.

The model rounds every operation to single precision through struct, so it
shares no code and no compiler with the tool.
Usage: frame_tool_test.py TOOL... (the tool's command, an emulator's words first)
"""
import array
import functools
import math
import os
import pty
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time

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


ZOOM_STEP = f32(0.1)


@functools.lru_cache(maxsize=None)
def grow_zoom(zoom, ticks):
    """The zoom after that many ticks, added one tick at a time in single precision."""
    # An array of floats rounds each sum to single precision, and each sum of
    # two floats is exact in Python's double first: much faster than f32().
    z = array.array("f", [zoom])
    for _ in range(ticks):
        z[0] += ZOOM_STEP
    return z[0]


@functools.lru_cache(maxsize=None)
def model_line(w, h, ticks):
    """Renders every tick until the view settles; then the ticks before the
    last only grow the zoom, since a settled centre point never escapes."""
    view, words, tick = View(), [], 1
    while True:
        words = view.render(w, h)
        centre = words[(h >> 1) * w + (w >> 1)]
        view.advance(centre)
        if tick == ticks:
            break
        tick += 1
        if centre == 0:
            view.zoom = grow_zoom(view.zoom, ticks - tick)
            tick = ticks
    return (f"tick={ticks} size={w}x{h} zoom={bits(view.zoom):08X} centerRe={bits(view.re):08X} "
            f"centerIm={bits(view.im):08X} frame={fnv(words):016X}")


# --- helpers -------------------------------------------------------------------

def tool(*args, limit=None, setup=None, stdout=subprocess.PIPE, cwd=None):
    """Runs the tool; a run that has not ended after five minutes is stopped
    and has status None."""
    def prepare():
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        if setup:
            setup()
    try:
        return subprocess.run([*TOOL, *args], stdout=stdout, stderr=subprocess.PIPE, preexec_fn=prepare, cwd=cwd,
                              timeout=300)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(args, None, b"", b"did not end within five minutes")


with open(TOOL[-1], "rb") as binary:
    is_32_bit = binary.read(5)[4] == 1  # the ELF class byte


def one_line_error(run, status, message):
    """The run ended with the status and one line on stderr holding the message."""
    err = run.stderr.decode()
    return run.returncode == status and message in err and err.count("\n") == 1 and err.endswith("\n")


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
        (["--size", "4x4", "--ticks", "5", "--from", "3", "--from", "3"], "--from is given twice"),
        (["--size", "4x4", "--ticks", "5", "--fast-forward", "--fast-forward"], "--fast-forward is given twice"),
        (["--size", "4x4", "--ticks", "5", "--threads"], "--threads needs a value"),
    ]
    for threads in ["0", "-1", "abc", "1025", "", "2.5", "99999999999999999999"]:
        bad.append((["--size", "4x4", "--ticks", "5", "--threads", threads],
                    f"--threads wants a whole number from 1 to 1024, not '{threads}'"))
    # Every option once only; a value is never the next option.
    once = {"--size": ["4x4"], "--ticks": ["3"], "--png": [png], "--path": ["scalar"], "--raw": [], "--threads": ["2"],
            "--quiet": []}
    for option, value in once.items():
        others = [word for name, words in once.items() if name != option for word in [name, *words]]
        bad.append(([*others, option, *value, option, *value], f"{option} is given twice"))
        if value:
            bad.append(([*others, option, "--raw"], f"{option} needs a value, not the option '--raw'"))
    bad.append((["--size", "4x4", "--ticks", "5", "--from", "--fast-forward"],
                "--from needs a value, not the option '--fast-forward'"))
    before = sorted(os.listdir(tmp))
    for args, message in bad:
        run = tool(*args, cwd=tmp)
        check(f"error {args}", one_line_error(run, 2, message) and "usage:" in run.stderr.decode() and not run.stdout,
              f"status {run.returncode}: {run.stderr!r}")
    check("errors leave no file", sorted(os.listdir(tmp)) == before, f"{sorted(os.listdir(tmp))}")

    # --help prints the usage on stdout and succeeds, whatever else is given.
    for args in (["--help"], ["--size", "4x4", "--help", "--colour"]):
        run = tool(*args)
        check(f"help {args}", run.returncode == 0 and run.stdout.startswith(b"usage: mandelbrot-frames --size WxH")
              and b"--fast-forward" in run.stdout and not run.stderr, f"status {run.returncode}: {run.stdout[:60]!r}")

# --- saturation -------------------------------------------------------------------

# From tick 18,073,710 the zoom stops growing, and the centre settled long
# before: every later tick renders the same frame. The model steps through every
# tick to 18,073,720; the tool gives its line for that tick, and for any later
# one at once, whether the ticks through saturation are skipped or rendered.
SATURATED = 18073720
LARGEST = 2**63 - 1
for w, h in [(5, 4), (16, 9)]:
    size, expected = f"{w}x{h}", model_line(w, h, SATURATED)
    for ticks in [SATURATED, 10**9, LARGEST]:
        for first in (["--fast-forward"], ["--from", str(ticks - 20)], ["--from", str(SATURATED - 20)]):
            run = tool("--size", size, "--ticks", str(ticks), *first)
            want = expected.replace(f"tick={SATURATED} ", f"tick={ticks} ")
            check(f"saturated {size} {ticks} {first}", run.stdout.decode().strip() == want,
                  f"status {run.returncode}: {run.stdout!r} {run.stderr!r} != {want!r}")

    # Raw frames are rendered one by one, through saturation too: they end on
    # the frame that the largest tick renders.
    frame = w * h * 4
    slow = tool("--size", size, "--ticks", str(SATURATED), "--from", str(SATURATED - 20), "--raw").stdout
    fast = tool("--size", size, "--ticks", str(LARGEST), "--from", str(LARGEST - 2), "--raw").stdout
    last = struct.unpack(f"<{w * h}I", slow[-frame:]) if len(slow) == 21 * frame else []
    check(f"saturated raw {size}", f"frame={fnv(last):016X}" in expected and fast == slow[-frame:] * 3,
          f"{len(slow)} and {len(fast)} bytes")

# An empty frame never moves the centre; its zoom saturates all the same.
zoom = bits(grow_zoom(1.0, SATURATED))
for size in ["0x0", "6x0"]:
    run = tool("--size", size, "--ticks", str(LARGEST), "--fast-forward")
    want = f"tick={LARGEST} size={size} zoom={zoom:08X} centerRe=BF400000 centerIm=3F000000 frame=CBF29CE484222325"
    check(f"saturated {size}", run.stdout.decode().strip() == want, f"{run.stdout!r} != {want!r}")

# --- files and output -------------------------------------------------------------

with tempfile.TemporaryDirectory() as tmp:
    png = os.path.join(tmp, "f.png")
    OLD = b"the PNG of an earlier run"

    def old_kept():
        """The earlier file is there as it was, and nothing beside it."""
        return os.listdir(tmp) == ["f.png"] and open(png, "rb").read() == OLD

    def ignore_file_size_signal():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))

    # A PNG is written beside its name and takes the name when complete, with
    # the permissions that the umask gives a new file.
    with open(png, "wb") as f:
        f.write(OLD)
    run = tool("--size", "300x200", "--ticks", "5", "--png", png, setup=lambda: os.umask(0o027))
    saved = open(png, "rb").read()
    check("png replaced", run.returncode == 0 and os.listdir(tmp) == ["f.png"] and saved.startswith(b"\x89PNG")
          and len(saved) > 4000 and os.stat(png).st_mode & 0o777 == 0o640,
          f"status {run.returncode}, {os.listdir(tmp)}, {len(saved)} bytes, mode {os.stat(png).st_mode:o}")

    # A failed PNG write (the file size limit is below the PNG's size) says why
    # and leaves the earlier file.
    with open(png, "wb") as f:
        f.write(OLD)
    run = tool("--size", "300x200", "--ticks", "5", "--png", png, setup=ignore_file_size_signal)
    check("png write fails", one_line_error(run, 1, f"writing the PNG file '{png}' failed: File too large")
          and not run.stdout and old_kept(), f"status {run.returncode}: {run.stderr!r}, {os.listdir(tmp)}")

    # A run stopped by a signal leaves the earlier file and no other.
    def long_run(**popen):
        """Starts a run of every tick of 640x480 up to saturation, and returns
        once it has touched the directory (or after two minutes)."""
        running = subprocess.Popen([*TOOL, "--size", "640x480", "--ticks", "100000000", "--png", png],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **popen)
        deadline = time.monotonic() + 120
        while os.listdir(tmp) == ["f.png"] and open(png, "rb").read() == OLD and running.poll() is None \
                and time.monotonic() < deadline:
            time.sleep(0.01)
        return running

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        running = long_run()
        running.send_signal(number)
        status = running.wait()
        check(f"{number.name} keeps the file", status == -number and old_kept(),
              f"status {status}, {os.listdir(tmp)}, {running.stderr.read()!r}")

    # A signal ignored by the caller stays ignored. The run waits to write its
    # first frame into a full pipe when the signal comes, and then ends as usual.
    running = subprocess.Popen([*TOOL, "--size", "640x480", "--ticks", "3", "--raw", "--png", png],
                               stdout=subprocess.PIPE, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    while len(os.listdir(tmp)) < 2 and running.poll() is None:
        time.sleep(0.01)
    running.send_signal(signal.SIGINT)
    frames = running.stdout.read()
    status = running.wait()
    check("ignored SIGINT", status == 0 and len(frames) == 3 * 640 * 480 * 4 and open(png, "rb").read(4) == b"\x89PNG",
          f"status {status}, {len(frames)} bytes")
    with open(png, "wb") as f:
        f.write(OLD)

    # A reader that goes away ends the run as it would any program's, and the
    # earlier file stays.
    running = subprocess.Popen([*TOOL, "--size", "640x480", "--ticks", "1000", "--raw", "--png", png],
                               stdout=subprocess.PIPE)
    running.stdout.read(4096)
    running.stdout.close()
    status = running.wait()
    check("closed pipe keeps the file", status == -signal.SIGPIPE and old_kept(), f"status {status}, {os.listdir(tmp)}")

    # A refused frame leaves the earlier file too (see the memory cases below).
    if is_32_bit:
        run = tool("--size", "65535x65535", "--ticks", "1", "--png", png)
        check("refused frame keeps the file", run.returncode == 2 and old_kept(), f"status {run.returncode}")
    elif not os.environ.get("FRAME_TOOL_SANITIZED"):
        run = tool("--size", "8000x8000", "--ticks", "1", "--png", png, limit=200 << 20)
        check("refused frame keeps the file", run.returncode == 2 and old_kept(), f"status {run.returncode}")

    # A render thread that cannot be started (here for want of address space)
    # ends the run through std::terminate; the earlier file stays.
    if not is_32_bit and not os.environ.get("FRAME_TOOL_SANITIZED"):
        run = tool("--size", "64x48", "--ticks", "3", "--threads", "1024", "--png", png, limit=150 << 20)
        check("abort keeps the file", run.returncode == -signal.SIGABRT and old_kept(),
              f"status {run.returncode}: {run.stderr!r}, {os.listdir(tmp)}")

    # Output that cannot be written fails with the reason: a full device, also
    # for the last few bytes that only the final flush writes, and a closed
    # standard output, which no file opened later may take over.
    def close_stdout():
        os.close(1)

    full = open("/dev/full", "wb")
    for args, setup, stdout, message in [
        (["--size", "7x5", "--ticks", "3", "--raw"], None, full, "No space left on device"),
        (["--size", "640x360", "--ticks", "2", "--raw"], None, full, "No space left on device"),
        (["--size", "7x5", "--ticks", "3"], None, full, "No space left on device"),
        (["--help"], None, full, "No space left on device"),
        (["--size", "7x5", "--ticks", "3"], close_stdout, None, "Bad file descriptor"),
        (["--size", "7x5", "--ticks", "3", "--raw"], close_stdout, None, "Bad file descriptor"),
        (["--size", "7x5", "--ticks", "3", "--png", png], close_stdout, None, "Bad file descriptor"),
        (["--size", "7x5", "--ticks", "3", "--png", png], None, full, "No space left on device"),
    ]:
        run = tool(*args, setup=setup, stdout=stdout)
        check(f"output fails {args} {message}", one_line_error(run, 1, f"failed: {message}") and old_kept(),
              f"status {run.returncode}: {run.stderr!r}, {os.listdir(tmp)}")
    full.close()

# --- threads ------------------------------------------------------------------------

PATHS = [path for path in ("scalar", "sse2", "avx2", "avx512")
         if tool("--size", "1x1", "--ticks", "1", "--path", path).returncode == 0]
check("paths", "scalar" in PATHS, f"{PATHS}")

# Every path on any number of threads gives the reference's frames (the scalar
# path on one thread) byte for byte: shallow, deep and saturated views (about
# 800 distinct points), odd sizes, one column, one row; by default (a thread
# for each core), on 1, 2, 3 and 7 threads, and on more threads than rows.
for size, ticks, first in [("37x23", 3, 1), ("1x50", 3, 1), ("50x1", 3, 1), ("61x37", 100002, 100000),
                           ("1x31", 5002, 5000), ("29x1", 5002, 5000), ("33x17", SATURATED, SATURATED - 1)]:
    w, h = map(int, size.split("x"))
    frames = ["--size", size, "--ticks", str(ticks), "--from", str(first), "--raw"]
    reference = tool(*frames, "--path", "scalar", "--threads", "1")
    check(f"threads reference {size}", reference.returncode == 0 and len(reference.stdout) == (ticks - first + 1) * w * h * 4,
          f"status {reference.returncode}, {len(reference.stdout)} bytes")
    for path in PATHS:
        for threads in ([], ["--threads", "1"], ["--threads", "2"], ["--threads", "3"], ["--threads", "7"],
                        ["--threads", str(h + 3)]):
            run = tool(*frames, "--path", path, *threads)
            check(f"threads {size} {ticks} {path} {threads}", run.returncode == 0 and run.stdout == reference.stdout,
                  f"status {run.returncode}: {run.stderr!r}")

# A whole frame deep in the zoom, on many bands; and the most threads there may be.
for args in (["--size", "640x360", "--ticks", "5000", "--fast-forward"], ["--size", "64x48", "--ticks", "3"]):
    reference = tool(*args, "--path", "scalar", "--threads", "1").stdout
    for threads in ["2", "3", "7", "1024"]:
        run = tool(*args, "--threads", threads)
        check(f"threads {args} {threads}", reference.startswith(b"tick=") and run.stdout == reference,
              f"status {run.returncode}: {run.stdout!r} {run.stderr!r} != {reference!r}")


# Progress: on stderr when it is a terminal and more than one frame is
# rendered, rewritten in place, unless --quiet; never on stdout.
def on_terminal(*args):
    """Runs the tool with stderr on a pseudo-terminal: its status, stdout and
    what the terminal got."""
    master, slave = pty.openpty()
    with tempfile.TemporaryFile() as out:
        running = subprocess.Popen([*TOOL, *args], stdout=out, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO: every writer has closed the terminal
                break
            if not data:
                break
            shown += data
        os.close(master)
        status = running.wait()
        out.seek(0)
        return status, out.read(), shown


raw_frames = ["--size", "64x48", "--ticks", "40", "--raw"]
reference = tool(*raw_frames)
check("no progress without a terminal", reference.returncode == 0 and len(reference.stdout) == 40 * 64 * 48 * 4
      and not reference.stderr, f"status {reference.returncode}: {reference.stderr!r}")
status, out, shown = on_terminal(*raw_frames)
progress = re.fullmatch(rb"\r1 of 40 frames, [\d.]+ frames/s, \d+:\d\d:\d\d left\x1b\[K(\r\d+ of 40 frames, .*)*"
                        rb"\r40 of 40 frames, [\d.]+ frames/s, 0:00:00 left\x1b\[K\r\n", shown)
check("progress on a terminal", status == 0 and out == reference.stdout and progress, f"status {status}: {shown!r}")
for args in ([*raw_frames, "--quiet"], ["--size", "64x48", "--ticks", "40", "--fast-forward"],
             ["--size", "64x48", "--ticks", "40", "--from", "40"]):
    status, out, shown = on_terminal(*args)
    check(f"no progress {args}", status == 0 and len(out) > 0 and not shown, f"status {status}: {shown!r}")
status, out, shown = on_terminal("--size", "8x6", "--ticks", "30")
check("progress of a run that prints the line", status == 0 and out == tool("--size", "8x6", "--ticks", "30").stdout
      and b"\r30 of 30 frames, " in shown and shown.endswith(b"\r\n"), f"{out!r} {shown!r}")

# --- memory -------------------------------------------------------------------------

# A frame that does not fit in the memory the process may use is refused with a
# message, not a crash. A 32-bit tool cannot address the largest frame at all;
# a 64-bit one is held to less with an address-space limit, which would hold
# an emulator instead and does not mix with sanitizers. A machine with less
# memory available than the frame needs says so first.
def memory_available():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return None


if is_32_bit:
    run = tool("--size", "65535x65535", "--ticks", "1")
    check("memory", one_line_error(run, 2, "needs 17179344900 bytes, more than a 32-bit program can address")
          and "usage:" in run.stderr.decode(), f"status {run.returncode}: {run.stderr!r}")
elif not os.environ.get("FRAME_TOOL_SANITIZED"):
    available = memory_available()
    reason = ("more than this process may allocate" if available is None or available >= 256000000
              else "bytes of memory available")
    run = tool("--size", "8000x8000", "--ticks", "1", limit=200 << 20)
    check("memory", one_line_error(run, 2, f"needs 256000000 bytes, {reason}"), f"status {run.returncode}: {run.stderr!r}")

# Where the system does not say how much memory is available, the allocation
# decides; where it does, a larger frame is refused. A user and mount namespace
# shows the tool another /proc/meminfo, where the system allows one.
if subprocess.run(["unshare", "--map-root-user", "--mount", "true"], capture_output=True).returncode != 0:
    print("skipped: no user namespace for another /proc/meminfo here")
else:
    with tempfile.NamedTemporaryFile("w") as meminfo:
        normal = tool("--size", "64x48", "--ticks", "3").stdout
        check("meminfo: the line of a normal run", normal.startswith(b"tick=3 "), f"{normal!r}")
        for text, args, status, expected in [
            ("", ["64x48"], 0, normal),
            ("MemTotal: 1000 kB\nMemFree: 500 kB\n", ["64x48"], 0, normal),
            ("MemTotal: 1000 kB\nMemAvailable: 1000 kB\n", ["1000x1000"], 2, b""),
        ]:
            meminfo.seek(0)
            meminfo.truncate()
            meminfo.write(text)
            meminfo.flush()
            run = subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c",
                                  'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo.name,
                                  *TOOL, "--size", *args, "--ticks", "3"], capture_output=True)
            refusal = status == 0 or one_line_error(run, 2, "needs 4000000 bytes, more than the 1024000 bytes of memory available")
            check(f"meminfo {text!r}", run.returncode == status and run.stdout == expected and refusal,
                  f"status {run.returncode}: {run.stdout!r} {run.stderr!r}")

print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
