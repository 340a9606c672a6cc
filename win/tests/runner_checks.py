"""wine-run, CTest's runner for the Windows builds' programs: a program whose
test is left out under qemu (MANDELBROT_SKIP_UNDER_QEMU) runs where the
32-bit route is native, and is skipped where it is qemu. Each test_ function
is a scenario (see conftest.py)."""
import os
import subprocess

import pytest

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-run")
LEFT_OUT = dict(os.environ, MANDELBROT_SKIP_UNDER_QEMU="a reason")


@pytest.mark.parametrize("arch", ["win32"])
def test_wine_run_skips(arch, probe, scr):
    """Under qemu (forced) the program is not run: exit code 77 and the reason."""
    run = subprocess.run([WINE_RUN, arch, probe, "name", scr], env=dict(LEFT_OUT, MANDELBROT_X86_32="qemu"),
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (77, "left out under qemu: a reason\n"), run


@pytest.mark.parametrize("arch", ["win32"])
@pytest.mark.not_under_qemu("this route skips such a program (wine_run_skips)")
def test_wine_run_runs(arch, probe, scr):
    """On the native route the program runs: its output and its exit code."""
    run = subprocess.run([WINE_RUN, arch, probe, "name", scr], env=LEFT_OUT, capture_output=True, text=True,
                         timeout=300)
    assert (run.returncode, run.stdout.splitlines()[-1:]) == (0, ["Mandelbrot Set"]), run
