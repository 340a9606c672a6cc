"""Standard output: a full device and a closed descriptor fail with the
reason, closed standard descriptors take no file, and the line comes only
once the picture is in place."""
import os
import resource
import signal

import pytest

from helpers import old_kept, one_line_error
from model import model_frames, model_line, shown
from png_rgb import read_png


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
