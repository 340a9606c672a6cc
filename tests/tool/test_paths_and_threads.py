"""Render paths and threads: every path and every thread count gives the
scalar path's words on one thread; the helper threads start once, are woken
only for bands, follow the affinity mask and may fail to start."""
import re
import subprocess

import pytest

from helpers import SANITIZED, one_line_error, raw_run, read_exactly, task_ids
from model import SATURATED


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


def test_list_paths(tool, render_paths):
    """--list-paths names the scalar reference first, then each fast path;
    auto takes the last this CPU runs, and the tool refuses each it cannot."""
    assert render_paths[0][0] == "scalar" and len(render_paths) > 1
    notes = [line[1] if len(line) > 1 else "" for line in render_paths]
    assert notes.count("(auto)") == 1 and set(notes) <= {"", "(auto)", "(not on this CPU)"}
    assert set(notes[notes.index("(auto)") + 1:]) <= {"(not on this CPU)"}
    for (name, *_), note in zip(render_paths, notes):
        run = tool("--size", "3x2", "--ticks", "1", "--path", name)
        assert (run.returncode == 0) == (note != "(not on this CPU)"), (name, run.stderr)


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
