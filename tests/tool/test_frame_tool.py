"""Checks mandelbrot-frames against a separate Python model of the animation,
and its files, output, threads, progress and failures.

The model rounds every operation to single precision through struct, so it
shares no code and no compiler with the tool.
Run: pytest-3 test_frame_tool.py --tool "TOOL..." (see conftest.py)
"""
import array
import ctypes
import functools
import math
import os
import pty
import re
import resource
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from png_rgb import read_png  # noqa: E402

SANITIZED = bool(os.environ.get("FRAME_TOOL_SANITIZED"))


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


def model_frames(w, h, ticks):
    """The words of every tick's frame, 1 to ticks."""
    view, frames = View(), []
    for _ in range(ticks):
        frames.append(view.render(w, h))
        view.advance(frames[-1][(h >> 1) * w + (w >> 1)])
    return frames


def shown(words):
    """The RGB bytes the screen shows: bits 16-23 red, 0-7 blue."""
    return b"".join(bytes((x >> 16 & 0xFF, x >> 8 & 0xFF, x & 0xFF)) for x in words)


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

@pytest.fixture(scope="session")
def tool(tool_command):
    """Runs the tool; a run that has not ended after five minutes is stopped
    and has status None. limit: an address-space limit; setup: run in the
    child before the tool starts."""
    def run(*args, limit=None, setup=None, stdout=subprocess.PIPE, cwd=None):
        def prepare():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            if limit:
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            if setup:
                setup()
        try:
            return subprocess.run([*tool_command, *args], stdout=stdout, stderr=subprocess.PIPE, preexec_fn=prepare,
                                  cwd=cwd, timeout=300)
        except subprocess.TimeoutExpired:
            return subprocess.CompletedProcess(args, None, b"", b"did not end within five minutes")
    return run


@pytest.fixture(scope="session")
def is_32_bit(tool_command):
    with open(tool_command[-1], "rb") as binary:
        return binary.read(5)[4] == 1  # the ELF class byte


@pytest.fixture(scope="session")
def emulated(tool_command):
    """The tool runs under an emulator: address-space limits would hold the
    emulator instead."""
    return len(tool_command) > 1


def one_line_error(run, status, message):
    """The run ended with the status and one line on stderr holding the message."""
    err = run.stderr.decode()
    return run.returncode == status and message in err and err.count("\n") == 1 and err.endswith("\n")


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


# --- the line and the frames ------------------------------------------------------

@pytest.mark.parametrize("w,h,ticks", [(1, 1, 1), (4, 2, 1), (3, 2, 2), (8, 6, 3), (17, 9, 2), (16, 9, 886),
                                       (5, 4, 1200)])
def test_line_matches_model(tool, w, h, ticks):
    expected = model_line(w, h, ticks)
    # Rendered throughout, fast-forwarded, and from a tick in between.
    for first in ([], ["--fast-forward"], ["--from", str((ticks + 1) // 2)]):
        got = tool("--size", f"{w}x{h}", "--ticks", str(ticks), *first).stdout.decode().strip()
        assert got == expected, first


@pytest.mark.parametrize("size,ticks", [("64x48", 300), ("0x5", 30), ("6x0", 30)])
def test_fast_forward_gives_the_full_runs_line(tool, size, ticks):
    full = tool("--size", size, "--ticks", str(ticks)).stdout
    fast = tool("--size", size, "--ticks", str(ticks), "--fast-forward").stdout
    last = tool("--size", size, "--ticks", str(ticks), "--from", str(ticks)).stdout
    assert full.startswith(b"tick=") and full == fast == last


def test_empty_frame(tool):
    """An empty frame hashes no words, yet the zoom still grows; the leftover
    centre word is zero, so the centre stays."""
    out = tool("--size", "0x0", "--ticks", "10").stdout.decode().strip()
    view = View()
    for _ in range(10):
        view.advance(0)
    assert out == (f"tick=10 size=0x0 zoom={bits(view.zoom):08X} centerRe=BF400000 centerIm=3F000000 "
                   "frame=CBF29CE484222325")


def test_raw_frames_and_png(tool, tmp_path):
    """Raw frames: every rendered tick's words, little-endian; the PNG shows
    tick N's frame with bits 16-23 as red and 0-7 as blue. --from M writes the
    frames of ticks M to N alone."""
    model = model_frames(7, 5, 6)
    png = tmp_path / "f.png"
    run = tool("--size", "7x5", "--ticks", "3", "--raw", "--png", str(png))
    assert run.returncode == 0 and run.stdout == struct.pack("<105I", *(model[0] + model[1] + model[2]))
    assert read_png(png) == (7, 5, shown(model[2]))
    run = tool("--size", "7x5", "--ticks", "6", "--from", "4", "--raw", "--png", str(png))
    assert run.returncode == 0 and run.stdout == struct.pack("<105I", *(model[3] + model[4] + model[5]))
    assert read_png(png) == (7, 5, shown(model[5]))


# --- the command line ------------------------------------------------------------------

# The in-process tests (options_tests.cpp) check each problem's words; these
# check what a bad command line does to the process: status 2, one line with
# the problem and the usage, no output, no file.
@pytest.mark.parametrize("args,message", [
    ([], "--size is missing"),
    (["--size", "4x4", "--ticks"], "--ticks needs a value"),
    (["--size", "65536x1", "--ticks", "1"], "--size wants WxH"),
    (["--size", "4x4", "--ticks", "99999999999999999999"], "--ticks wants a whole number"),
    (["--size", "4x4", "--ticks", "1", "--colour"], "unknown argument"),
    (["--size", "4x4", "--ticks", "5", "--from", "6"], "--from wants a tick from 1 to the --ticks value 5"),
    (["--size", "0x4", "--ticks", "1", "--png", "f.png"], "--png needs a frame of at least 1x1"),
    (["--size", "4x4", "--ticks", "1", "--png", "f.png", "--png", "f.png"], "--png is given twice"),
    (["--size", "4x4", "--ticks", "5", "--threads", "1025"], "--threads wants a whole number from 1 to 1024"),
    (["--size", "4x4", "--ticks", "5", "--path", "avx"], "--path wants scalar, sse2, avx2, avx512 or auto"),
    (["--size", "4x4", "--ticks", "5", "--path"], "--path needs a value"),
])
def test_bad_command_line(tool, tmp_path, args, message):
    run = tool(*args, cwd=tmp_path)
    assert one_line_error(run, 2, message) and "usage:" in run.stderr.decode(), run.stderr
    assert not run.stdout and not os.listdir(tmp_path)


def test_help(tool):
    """--help prints the usage on stdout and succeeds, whatever else is given."""
    for args in (["--help"], ["--size", "4x4", "--help", "--colour"]):
        run = tool(*args)
        assert run.returncode == 0 and run.stdout.startswith(b"usage: mandelbrot-frames --size WxH") and not run.stderr
        assert b"--fast-forward" in run.stdout and b"Exit status" in run.stdout


# --- render paths and threads -----------------------------------------------------------

SATURATED = 18073720
LARGEST = 2**63 - 1
# Shallow, deep and saturated views, odd sizes, one column and one row.
FRAMES = [("37x23", 3, 1), ("1x31", 5002, 5000), ("29x1", 5002, 5000), ("61x37", 100002, 100000),
          ("33x17", SATURATED, SATURATED - 1)]


@pytest.fixture(scope="session")
def reference_frames(tool):
    """The frames of FRAMES on the scalar path and one thread."""
    frames = b""
    for size, ticks, first in FRAMES:
        run = tool("--size", size, "--ticks", str(ticks), "--from", str(first), "--raw", "--path", "scalar",
                   "--threads", "1")
        w, h = map(int, size.split("x"))
        assert run.returncode == 0 and len(run.stdout) == (ticks - first + 1) * w * h * 4
        frames += run.stdout
    return frames


def frames_on(tool, *args):
    out = b""
    for size, ticks, first in FRAMES:
        run = tool("--size", size, "--ticks", str(ticks), "--from", str(first), "--raw", *args)
        assert run.returncode == 0, run.stderr
        out += run.stdout
    return out


@pytest.mark.parametrize("path", ["sse2", "avx2", "avx512", "auto"])
def test_each_path_gives_the_reference_frames(tool, reference_frames, path):
    """Every path the CPU has gives the scalar path's words; one it lacks is a
    run failure (status 1) with its reason."""
    probe = tool("--size", "3x2", "--ticks", "1", "--path", path)
    if probe.returncode != 0:
        assert path != "auto" and one_line_error(probe, 1, f"this CPU cannot run the '{path}' render path"), probe
        assert "usage:" not in probe.stderr.decode()
        pytest.skip(f"this CPU has no {path}")
    assert frames_on(tool, "--path", path, "--threads", "1") == reference_frames


@pytest.mark.parametrize("threads", [[], ["--threads", "3"], ["--threads", "1024"]])
def test_threads_give_the_reference_frames(tool, reference_frames, threads):
    """By default (a thread for each CPU), on an odd count, and on more threads
    than any frame has rows."""
    assert frames_on(tool, *threads) == reference_frames


def task_ids(pid):
    return sorted(os.listdir(f"/proc/{pid}/task"))


def raw_run(tool_command, *args):
    """A run writing raw frames into a pipe the test reads."""
    return subprocess.Popen([*tool_command, *args, "--raw"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read_exactly(stream, size):
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


def test_threads_are_kept_and_woken_only_for_bands(tool_command, emulated):
    """The helper threads start once and stay for the run; frames of one band
    wake none of them (not counted under an emulator, which wakes every
    thread of the program for work of its own)."""
    single = raw_run(tool_command, "--size", "1x1", "--ticks", "1000000000", "--threads", "1")
    read_exactly(single.stdout, 4 * 10)
    baseline = len(task_ids(single.pid))  # an emulator may have threads of its own
    single.kill()
    single.wait()

    running = raw_run(tool_command, "--size", "64x48", "--ticks", "1000000000", "--threads", "4")
    read_exactly(running.stdout, 64 * 48 * 4 * 5)
    first = task_ids(running.pid)
    read_exactly(running.stdout, 64 * 48 * 4 * 200)
    later = task_ids(running.pid)
    running.kill()
    running.wait()
    assert len(first) == baseline + 3 and later == first

    running = raw_run(tool_command, "--size", "1x1", "--ticks", "1000000000", "--threads", "4")
    read_exactly(running.stdout, 4 * 5)
    helpers = task_ids(running.pid)[baseline:]
    read_exactly(running.stdout, 4 * 20000)

    def switches(tid):
        with open(f"/proc/{running.pid}/task/{tid}/status") as status:
            return int(re.search(r"voluntary_ctxt_switches:\s+(\d+)", status.read()).group(1))
    woken = {tid: switches(tid) for tid in helpers}
    running.kill()
    running.wait()
    assert len(helpers) == 3
    assert emulated or all(count < 10 for count in woken.values()), woken


def test_default_threads_follow_the_affinity_mask(tool_command):
    """Without --threads, one thread for each CPU the process may run on."""
    counts = {}
    for name, prefix, args in [("one CPU", ["taskset", "-c", "0"], []), ("--threads 1", [], ["--threads", "1"])]:
        running = subprocess.Popen([*prefix, *tool_command, "--size", "64x48", "--ticks", "1000000000", "--raw",
                                    *args], stdout=subprocess.PIPE)
        read_exactly(running.stdout, 64 * 48 * 4 * 3)
        counts[name] = len(task_ids(running.pid))
        running.kill()
        running.wait()
    assert counts["one CPU"] == counts["--threads 1"], counts


def test_threads_that_cannot_start(tool, emulated):
    """A thread that cannot be started (here for want of address space) leaves
    the run to the threads that did start, with the same words."""
    if emulated or SANITIZED:
        pytest.skip("an address-space limit would hold the emulator or the sanitizer")
    reference = tool("--size", "64x48", "--ticks", "3", "--threads", "1").stdout
    run = tool("--size", "64x48", "--ticks", "3", "--threads", "1024", limit=150 << 20)
    assert run.returncode == 0 and run.stdout == reference and reference.startswith(b"tick=3 "), run.stderr
    assert re.fullmatch(rb"mandelbrot-frames: \d+ of 1024 render threads started \(.+\); the run goes on with those\n",
                        run.stderr), run.stderr


# --- saturation -------------------------------------------------------------------

@pytest.mark.parametrize("w,h", [(5, 4), (16, 9)])
def test_saturation(tool, w, h):
    """From tick 18,073,710 the zoom stops growing, and the centre settled long
    before: every later tick renders the same frame. The model steps through
    every tick to 18,073,720; the tool gives its line for that tick, and for
    any later one at once, whether the ticks through saturation are skipped or
    rendered."""
    size, expected = f"{w}x{h}", model_line(w, h, SATURATED)
    for ticks, first in [(SATURATED, ["--fast-forward"]), (10**9, ["--from", str(SATURATED - 20)]),
                         (LARGEST, ["--from", str(LARGEST - 20)]), (LARGEST, ["--fast-forward"])]:
        run = tool("--size", size, "--ticks", str(ticks), *first)
        want = expected.replace(f"tick={SATURATED} ", f"tick={ticks} ")
        assert run.stdout.decode().strip() == want, (ticks, first, run.stderr)

    # Raw frames are rendered one by one, through saturation too: they end on
    # the frame that the largest tick renders.
    frame = w * h * 4
    slow = tool("--size", size, "--ticks", str(SATURATED), "--from", str(SATURATED - 20), "--raw").stdout
    fast = tool("--size", size, "--ticks", str(LARGEST), "--from", str(LARGEST - 2), "--raw").stdout
    assert len(slow) == 21 * frame and fast == slow[-frame:] * 3
    assert f"frame={fnv(struct.unpack(f'<{w * h}I', slow[-frame:])):016X}" in expected


def test_saturated_empty_frame(tool):
    """An empty frame never moves the centre; its zoom saturates all the same."""
    zoom = bits(grow_zoom(1.0, SATURATED))
    for size in ["0x0", "6x0"]:
        run = tool("--size", size, "--ticks", str(LARGEST), "--fast-forward")
        assert run.stdout.decode().strip() == (f"tick={LARGEST} size={size} zoom={zoom:08X} centerRe=BF400000 "
                                               "centerIm=3F000000 frame=CBF29CE484222325")


# --- the PNG file -------------------------------------------------------------------

OLD = b"the PNG of an earlier run"


@pytest.fixture
def old_png(tmp_path):
    """An earlier run's picture, f.png, alone in its folder."""
    png = tmp_path / "f.png"
    png.write_bytes(OLD)
    return png


def old_kept(png):
    """The earlier file is there as it was, and nothing beside it."""
    return os.listdir(png.parent) == [png.name] and png.read_bytes() == OLD


def no_unnamed_files():
    """Makes open with O_TMPFILE fail with EOPNOTSUPP in this process and its
    children, as on a file system without unnamed files: a seccomp filter on
    openat's flags, for x86-64 and i386 system calls."""
    allow, refuse = 0x7FFF0000, 0x00050000 | 95  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO | EOPNOTSUPP
    load, jeq, jset, ret = 0x20, 0x15, 0x45, 0x06
    # (code, jump if true, jump if false, constant); jumps skip that many instructions.
    program = [
        (load, 0, 0, 4),          # 0: the architecture
        (jeq, 0, 2, 0xC000003E),  # 1: x86-64?
        (load, 0, 0, 0),          # 2: the system call
        (jeq, 3, 6, 257),         # 3: openat: to 7, else allow
        (jeq, 0, 5, 0x40000003),  # 4: i386? else allow
        (load, 0, 0, 0),          # 5
        (jeq, 0, 3, 295),         # 6: openat: to 7, else allow
        (load, 0, 0, 32),         # 7: the flags, its third argument
        (jset, 0, 1, 0x400000),   # 8: __O_TMPFILE
        (ret, 0, 0, refuse),      # 9
        (ret, 0, 0, allow),       # 10
    ]
    buffer = ctypes.create_string_buffer(b"".join(struct.pack("<HBBI", *insn) for insn in program))
    fprog = ctypes.create_string_buffer(struct.pack("<HxxxxxxQ", len(program), ctypes.addressof(buffer)))
    libc = ctypes.CDLL(None, use_errno=True)
    # PR_SET_NO_NEW_PRIVS, then PR_SET_SECCOMP with SECCOMP_MODE_FILTER
    if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, fprog, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


@pytest.fixture(params=["unnamed", "named"])
def file_route(request):
    """The two ways the picture's file is made: unnamed until complete
    (O_TMPFILE), or, where the file system has no unnamed files, a named
    temporary file; the setup function for the run, or None."""
    return no_unnamed_files if request.param == "named" else None


def test_png_replaces_a_file_and_keeps_its_permissions(tool, old_png, file_route):
    """A replaced file keeps its permission bits; a new one gets the umask's."""
    os.chmod(old_png, 0o604)

    def setup():
        os.umask(0o077)
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    saved = old_png.read_bytes()
    assert run.returncode == 0 and os.listdir(old_png.parent) == ["f.png"] and saved.startswith(b"\x89PNG"), run
    assert stat.S_IMODE(os.stat(old_png).st_mode) == 0o604
    new = old_png.parent / "new.png"
    run = tool("--size", "30x20", "--ticks", "5", "--png", str(new), setup=setup)
    assert run.returncode == 0 and stat.S_IMODE(os.stat(new).st_mode) == 0o600


def test_png_follows_links(tool, tmp_path):
    """A link is followed, relative to its folder, through a chain and to a file
    yet to be made; the links stay links."""
    (tmp_path / "pictures").mkdir()
    target = tmp_path / "pictures" / "target.png"
    target.write_bytes(OLD)
    os.symlink("pictures/target.png", tmp_path / "link.png")
    os.symlink("link.png", tmp_path / "chain.png")
    os.symlink("later.png", tmp_path / "pictures" / "dangling.png")
    expected = (4, 4, shown(model_frames(4, 4, 1)[0]))
    for name in ["link.png", "chain.png"]:
        target.write_bytes(OLD)
        run = tool("--size", "4x4", "--ticks", "1", "--png", name, cwd=tmp_path)
        assert run.returncode == 0 and read_png(target) == expected, run.stderr
        assert os.readlink(tmp_path / "link.png") == "pictures/target.png"
        assert os.readlink(tmp_path / "chain.png") == "link.png"
    run = tool("--size", "4x4", "--ticks", "1", "--png", str(tmp_path / "pictures" / "dangling.png"))
    assert run.returncode == 0 and read_png(tmp_path / "pictures" / "later.png") == expected
    assert sorted(os.listdir(tmp_path)) == ["chain.png", "link.png", "pictures"]
    assert sorted(os.listdir(tmp_path / "pictures")) == ["dangling.png", "later.png", "target.png"]


def test_png_refuses_what_is_not_a_regular_file(tool, tmp_path):
    """A FIFO, a device, a folder and names that cannot be a file are refused
    before any frame is rendered (no raw frame is written), with status 1 and
    the reason, and left as they were."""
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "shot.png").mkdir()
    os.symlink("fifo", tmp_path / "to-fifo.png")
    cases = [("fifo", "not a regular file"), ("to-fifo.png", "not a regular file"), ("shot.png", "a folder"),
             ("", "the name is empty"), (".", "a folder"), ("shot.png/", "ends in '/'"),
             ("missing/f.png", "No such file or directory"), ("x" * 256, "File name too long")]
    try:
        os.mknod(tmp_path / "nulldev", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        cases.append(("nulldev", "not a regular file"))
    except PermissionError:
        pass  # only root makes devices
    before = sorted(os.listdir(tmp_path))
    for name, reason in cases:
        run = tool("--size", "64x48", "--ticks", "200", "--raw", "--png", name, cwd=tmp_path)
        assert one_line_error(run, 1, f"cannot write the PNG file '{name}': ") and reason in run.stderr.decode(), run
        assert "usage:" not in run.stderr.decode() and not run.stdout
    assert sorted(os.listdir(tmp_path)) == before and stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)
    if "nulldev" in before:
        assert stat.S_ISCHR(os.stat(tmp_path / "nulldev").st_mode)


def test_png_name_of_the_longest_length(tool, tmp_path, file_route):
    name = "x" * 251 + ".png"
    run = tool("--size", "4x4", "--ticks", "1", "--png", name, cwd=tmp_path, setup=file_route)
    assert run.returncode == 0 and os.listdir(tmp_path) == [name], run.stderr


def test_png_write_fails(tool, old_png, file_route):
    """A failed write (the file size limit is below the PNG's size) says why and
    leaves the earlier file; the line is printed only once the picture is in place."""
    def setup():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    assert one_line_error(run, 1, f"writing the PNG file '{old_png}' failed: File too large"), run.stderr
    assert not run.stdout and old_kept(old_png)


def start_long_run(tool_command, png, setup=None, prefix=()):
    """Starts a run of every tick of 64x48 up to saturation with its raw frames
    in a pipe, and returns once the first frame has come, with the folder's
    names while it runs."""
    def prepare():
        no_core_dump()
        if setup:
            setup()
    running = subprocess.Popen([*prefix, *tool_command, "--size", "64x48", "--ticks", "100000000", "--png", str(png),
                                "--raw"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=prepare)
    assert len(read_exactly(running.stdout, 64 * 48 * 4)) == 64 * 48 * 4
    return running, sorted(os.listdir(png.parent))


# Every signal whose default ends the process; a file with no name until it
# is complete is not left even by SIGKILL.
FATAL = ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU", "SIGVTALRM",
         "SIGPROF", "SIGABRT", "SIGSEGV", "SIGRTMIN", "SIGKILL"]


def test_fatal_signals_leave_the_earlier_file(tool_command, old_png, file_route, emulated):
    for name in FATAL:
        if name == "SIGKILL" and file_route:
            continue  # a named file cannot outlive SIGKILL: that is what unnamed files are for
        if name == "SIGRTMIN" and emulated:
            continue  # qemu keeps the first real-time signals for itself and numbers the guest's apart
        if name == "SIGSEGV" and SANITIZED:
            continue  # the sanitizer takes SIGSEGV and reports it itself
        number = getattr(signal, name)
        # A non-interactive shell's background job starts with SIGINT and
        # SIGQUIT ignored; the tool keeps what it is given.
        running, during = start_long_run(tool_command, old_png, setup=file_route,
                                         prefix=["env", "--default-signal"])
        assert len(during) == (2 if file_route else 1), during
        running.send_signal(number)
        status = running.wait()
        running.stdout.close()
        assert status == -number and old_kept(old_png), (name, status, os.listdir(old_png.parent),
                                                         running.stderr.read())


def test_file_size_signal_leaves_the_earlier_file(tool, old_png, file_route):
    def setup():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
        if file_route:
            file_route()
    run = tool("--size", "300x200", "--ticks", "5", "--png", str(old_png), setup=setup)
    assert run.returncode == -signal.SIGXFSZ and old_kept(old_png), (run.returncode, os.listdir(old_png.parent))


def test_ignored_signal_stays_ignored(tool_command, old_png, file_route):
    """The run waits to write its first frame into a full pipe when the signal
    comes, and then ends as usual."""
    def setup():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if file_route:
            file_route()
    running = subprocess.Popen([*tool_command, "--size", "640x480", "--ticks", "3", "--raw", "--png", str(old_png)],
                               stdout=subprocess.PIPE, preexec_fn=setup)
    frames = running.stdout.read(4096)
    running.send_signal(signal.SIGINT)
    time.sleep(0.1)
    frames += running.stdout.read()
    assert running.wait() == 0 and len(frames) == 3 * 640 * 480 * 4
    assert read_png(old_png)[:2] == (640, 480) and os.listdir(old_png.parent) == ["f.png"]


def test_closed_pipe_leaves_the_earlier_file(tool_command, old_png):
    """A reader that goes away ends the run as it would any program's."""
    running = subprocess.Popen([*tool_command, "--size", "640x480", "--ticks", "1000", "--raw", "--png", str(old_png)],
                               stdout=subprocess.PIPE)
    running.stdout.read(4096)
    running.stdout.close()
    assert running.wait() == -signal.SIGPIPE and old_kept(old_png)


def test_refused_frame(tool, old_png, is_32_bit, emulated):
    """A frame that does not fit in the memory the process may use is a run
    failure: status 1, the reason, no usage, and the earlier file stays. A
    32-bit tool cannot address the largest frame at all; a 64-bit one is held
    to less with an address-space limit, which does not mix with emulators or
    sanitizers."""
    if is_32_bit:
        run = tool("--size", "65535x65535", "--ticks", "1", "--png", str(old_png))
        message = "needs 17179344900 bytes, more than a 32-bit program can address"
    elif emulated or SANITIZED:
        pytest.skip("an address-space limit would hold the emulator or the sanitizer")
    else:
        run = tool("--size", "8000x8000", "--ticks", "1", "--png", str(old_png), limit=200 << 20)
        message = "needs 256000000 bytes, more than"
    assert one_line_error(run, 1, message) and "usage:" not in run.stderr.decode(), run.stderr
    assert old_kept(old_png)


# --- standard output ---------------------------------------------------------------

def close_stdout():
    os.close(1)


@pytest.mark.parametrize("args,closed,message", [
    (["--size", "7x5", "--ticks", "3", "--raw"], False, "No space left on device"),
    (["--size", "640x360", "--ticks", "2", "--raw"], False, "No space left on device"),
    (["--size", "7x5", "--ticks", "3"], False, "No space left on device"),
    (["--help"], False, "No space left on device"),
    (["--help"], True, "Bad file descriptor"),
    (["--size", "7x5", "--ticks", "3"], True, "Bad file descriptor"),
    (["--size", "640x360", "--ticks", "5000", "--raw"], True, "Bad file descriptor"),
])
def test_output_fails(tool, tmp_path, args, closed, message):
    """Output that cannot be written fails with the reason: a full device, also
    for the last few bytes that only the final flush writes, and a closed
    standard output, at once."""
    with open("/dev/full", "wb") as full:
        run = tool(*args, setup=close_stdout if closed else None, stdout=None if closed else full)
    assert one_line_error(run, 1, f"failed: {message}"), run.stderr


def test_closed_stdout_takes_no_file(tool, old_png):
    """A closed standard output fails before any file is opened, so none can take
    its descriptor and the frames (which, with a file size limit, would fail
    otherwise, once written)."""
    def setup():
        close_stdout()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    run = tool("--size", "640x360", "--ticks", "5000", "--raw", "--png", str(old_png), setup=setup, stdout=None)
    assert one_line_error(run, 1, "writing to standard output failed: Bad file descriptor") and old_kept(old_png)


def test_closed_stdin_and_stderr_are_made_safe(tool, tmp_path):
    """With stdin and stderr closed, the run and its picture are as usual."""
    png = tmp_path / "f.png"

    def close_others():
        os.close(0)
        os.close(2)
    run = tool("--size", "7x5", "--ticks", "3", "--png", str(png), "--threads", "3", setup=close_others)
    assert run.returncode == 0 and read_png(png) == (7, 5, shown(model_frames(7, 5, 3)[2]))
    assert run.stdout.decode().strip() == model_line(7, 5, 3)


def test_line_after_the_picture(tool, old_png):
    """The line is printed once the picture is in place: a line that cannot be
    written is a failure, but the picture is complete."""
    with open("/dev/full", "wb") as full:
        run = tool("--size", "7x5", "--ticks", "3", "--png", str(old_png), stdout=full)
    assert one_line_error(run, 1, "writing to standard output failed: No space left on device")
    assert read_png(old_png) == (7, 5, shown(model_frames(7, 5, 3)[2])) and os.listdir(old_png.parent) == ["f.png"]


# --- progress ------------------------------------------------------------------------

def on_terminal(tool_command, *args):
    """Runs the tool with stderr on a pseudo-terminal: its status, stdout and
    what the terminal got."""
    master, slave = pty.openpty()
    with tempfile.TemporaryFile() as out:
        running = subprocess.Popen([*tool_command, *args], stdout=out, stderr=slave)
        os.close(slave)
        shown_text = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO: every writer has closed the terminal
                break
            if not data:
                break
            shown_text += data
        os.close(master)
        status = running.wait()
        out.seek(0)
        return status, out.read(), shown_text


def test_progress(tool, tool_command):
    """On stderr when it is a terminal and more than one frame is rendered,
    rewritten in place, unless --quiet; never on stdout."""
    raw_frames = ["--size", "64x48", "--ticks", "40", "--raw"]
    reference = tool(*raw_frames)
    assert reference.returncode == 0 and len(reference.stdout) == 40 * 64 * 48 * 4 and not reference.stderr
    status, out, text = on_terminal(tool_command, *raw_frames)
    assert status == 0 and out == reference.stdout
    assert re.fullmatch(rb"\r1 of 40 frames, [\d.]+ frames/s, \d+:\d\d:\d\d left\x1b\[K(\r\d+ of 40 frames, .*)*"
                        rb"\r40 of 40 frames, [\d.]+ frames/s, 0:00:00 left\x1b\[K\r\n", text), text
    for args in ([*raw_frames, "--quiet"], ["--size", "64x48", "--ticks", "40", "--fast-forward"],
                 ["--size", "64x48", "--ticks", "40", "--from", "40"]):
        status, out, text = on_terminal(tool_command, *args)
        assert status == 0 and len(out) > 0 and not text, args
    status, out, text = on_terminal(tool_command, "--size", "8x6", "--ticks", "30")
    assert status == 0 and out == tool("--size", "8x6", "--ticks", "30").stdout
    assert b"\r30 of 30 frames, " in text and text.endswith(b"\r\n")


def test_progress_counts_frames_rendered(tool_command):
    """A run whose view settles renders no frame past it: the count ends at the
    frames rendered, 18,073,700 to 18,073,711, not the ticks asked for."""
    status, out, text = on_terminal(tool_command, "--size", "8x6", "--ticks", "18073730", "--from", "18073700")
    assert status == 0 and out.startswith(b"tick=18073730 ")
    assert re.search(rb"\r12 of 12 frames, [\d.]+ frames/s, 0:00:00 left\x1b\[K\r\n$", text), text


def test_progress_of_a_slow_run(tool_command):
    """Below a frame a second, a time left of more hours than 64 bits of seconds
    hold still prints as hours. The first frame's raw words wait 1.5 s in a
    full pipe before the test reads them, so the first progress line, shown once
    they are written, finds less than a frame a second."""
    master, slave = pty.openpty()
    running = subprocess.Popen([*tool_command, "--size", "640x480", "--ticks", str(LARGEST), "--raw"],
                               stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    time.sleep(1.5)
    drain = threading.Thread(target=lambda: running.stdout.read(), daemon=True)
    drain.start()
    text = b""
    while b" left" not in text:
        text += os.read(master, 4096)
    running.kill()
    running.wait()
    os.close(master)
    line = re.match(rb"\r1 of 9223372036854775807 frames, 0\.\d frames/s, (\d+):(\d\d):(\d\d) left", text)
    assert line and int(line.group(1)) >= 9223372036854775807 // 3600, text


# --- memory ---------------------------------------------------------------------------

def test_meminfo(tool, tool_command):
    """Where the system does not say how much memory is available, the
    allocation decides; where it does, a larger frame is refused. A user and
    mount namespace shows the tool another /proc/meminfo, where the system
    allows one."""
    if subprocess.run(["unshare", "--map-root-user", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("no user namespace for another /proc/meminfo here")
    normal = tool("--size", "64x48", "--ticks", "3").stdout
    assert normal.startswith(b"tick=3 ")
    with tempfile.NamedTemporaryFile("w") as meminfo:
        for text, size, status, expected in [
            ("", "64x48", 0, normal),
            ("MemTotal: 1000 kB\nMemFree: 500 kB\n", "64x48", 0, normal),
            ("MemTotal: 1000 kB\nMemAvailable: 1000 kB\n", "1000x1000", 1, b""),
        ]:
            meminfo.seek(0)
            meminfo.truncate()
            meminfo.write(text)
            meminfo.flush()
            run = subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c",
                                  'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo.name,
                                  *tool_command, "--size", size, "--ticks", "3"], capture_output=True)
            assert run.returncode == status and run.stdout == expected, (text, run.stderr)
            if status:
                assert one_line_error(run, 1, "needs 4000000 bytes, more than the 1024000 bytes of memory available")
