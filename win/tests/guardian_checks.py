"""The guardian's promise (wine/guardian.py): nothing that a run under Wine
starts outlives it, whether the run ends normally, by a signal or killed
outright. Each test_ function is a scenario (see conftest.py)."""
import os
import signal
import subprocess
import sys
import time
import uuid

import pytest

# A run that opens a window of window-probe.exe (which draws nothing more) on
# a screen of its own, says so, and then waits for its stdin to close.
RUN = """
import subprocess, sys
from wine import WINE
from wine.session import Session
with Session("win64", ["320x240x24"]) as s:
    window = s.spawn([WINE, sys.argv[1], "parent", "100", "100"], stdout=subprocess.PIPE, text=True)
    if window.stdout.readline().strip().isdigit():
        print("ready", flush=True)
        sys.stdin.read()
"""


def marked(token):
    """The processes whose environment carries the token: {pid: name}."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as environ, open(f"/proc/{pid}/comm") as comm:
                if token in environ.read().split(b"\0"):
                    found[int(pid)] = comm.read().strip()
        except OSError:  # ended meanwhile
            pass
    return found


@pytest.mark.e2e
@pytest.mark.parametrize("ending", [None, signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
                         ids=["end", "sigint", "sigterm", "sigkill"])
@pytest.mark.parametrize("arch", ["win64"])
def test_guardian(arch, ending, probe):
    """A run with a program's window open ends (its with block, or SIGINT,
    SIGTERM, SIGKILL); within a minute no process of it is left: not the X
    server, the wineserver, the program, nor the guardian itself."""
    how = signal.Signals(ending).name if ending else "normally"
    token = f"MANDELBROT_GUARDIAN_CHECK={uuid.uuid4()}"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    env.update([token.split("=")])
    # A background job of a non-interactive shell starts with SIGINT ignored;
    # the run is given the default, as a run at a terminal has.
    run = subprocess.Popen(["env", "--default-signal=INT", sys.executable, "-c", RUN, probe], env=env,
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, start_new_session=True)
    assert run.stdout.readline() == "ready\n", "the run did not open the window"
    names = set(marked(token.encode()).values())
    # (Wine's 64-bit server is named wineserver64; a name is cut at 15 characters.)
    assert {"Xvfb", "wineserver64", "window-probe.ex"} <= names, f"the run's processes are {sorted(names)}"
    if ending:
        os.kill(run.pid, ending)
    else:
        run.stdin.close()
    run.wait(timeout=120)
    end = time.monotonic() + 60
    while (left := marked(token.encode())) and time.monotonic() < end:
        time.sleep(0.5)
    assert not left, f"left behind after the run ended ({how}): {left}"
    print(f"report: guardian: a run ended {how} left none of its {len(names)} kinds of process "
          f"({', '.join(sorted(names))})")
