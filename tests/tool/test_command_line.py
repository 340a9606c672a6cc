"""What a bad command line and --help do to the process."""
import os

import pytest

from helpers import one_line_error


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
    (["--size", "4x4", "--ticks", "5", "--path", "avx"], "--path wants scalar, "),
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
