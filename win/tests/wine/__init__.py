"""Runs Windows programs under Wine on virtual X screens of their own, for the
Wine checks (the pytest modules beside this package), the benchmarks and
scripts/mandelbrot. By concern:

    session.py   a run: its X server, Wine prefix and processes, and what the
                 checks do with them (start programs, wait, send input, look)
    guardian.py  the process that ends everything a run started, however it ends
    prefixes.py  Wine prefixes, one per concurrent run, copied from templates
    qemu.py      how 32-bit code runs here, and the qemu-i386 handler for Wine
    frames.py    which tick of the core a screenshot shows
    soak.py      memory and GUI-object statistics over a long run
"""
import os

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def fail(message):
    raise Failure(message)
