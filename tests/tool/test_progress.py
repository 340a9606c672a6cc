"""The progress line on a terminal's stderr."""
import os
import pty
import re
import subprocess
import tempfile
import threading
import time

from model import LARGEST


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
