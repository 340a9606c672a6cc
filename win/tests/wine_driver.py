#!/usr/bin/env python3
"""Runs Windows programs under Wine (the wine package beside this file):

    wine_driver.py run win64|win32 PROGRAM [ARG...]
        CTest's emulator for the Windows builds (wine-run): runs the program on
        a 1024x768 screen of its own and exits with its exit code. Exit code 77
        (a skip) where the 32-bit route cannot be set up here, and under qemu
        for a 32-bit program whose test says why it is left out there
        (MANDELBROT_SKIP_UNDER_QEMU, which CMake sets).
    wine_driver.py show EXE
        the window on $DISPLAY, until it is closed
    wine_driver.py picture EXE WxHxD SECONDS PNG
        the whole window, caption and all, after SECONDS on a screen of that size
    wine_driver.py prefixes
        makes the prefix templates that the runs copy, where missing
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

from wine import WINE, Failure, Skip, qemu
from wine.session import Session


def run(arch, program, args):
    reason = os.environ.get("MANDELBROT_SKIP_UNDER_QEMU")
    if reason and qemu.emulated(arch):
        print(f"left out under qemu: {reason}")
        return 77
    with Session(arch) as s:
        if arch == "win32":
            print(f"report: win32 {os.path.basename(program)} under Wine: {s.route[0]} route ({s.route[1]})")
        return s.start(program, *args).wait()


def show(exe):
    with Session("win64", None) as s:
        s.start(exe).wait()


def picture(exe, screen, seconds, png):
    """Runs the 64-bit exe for SECONDS and saves the whole window. The pictures'
    prefix tells Wine not to ask for window-manager decorations (Decorated = N),
    so Wine draws the caption itself, whose buttons are glyphs of Wine's Marlett
    font, which it finds only in the prefix's Fonts folder; the X window is
    then the whole window."""
    with Session("win64", [screen], kind="pictures") as s:
        fonts = os.path.join(s.env["WINEPREFIX"], "drive_c/windows/Fonts")
        if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            s.run(WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                  "/d", "N", "/f", deadline=s.deadline(60), what="reg add")
            for font in os.listdir("/usr/share/wine/fonts"):
                shutil.copy(os.path.join("/usr/share/wine/fonts", font), fonts)
        program = s.start(exe)
        window = s.find_window("^Mandelbrot Set$", seconds=120)
        time.sleep(seconds)
        subprocess.run(["import", "-window", window, png], env=s.env, check=True)
        s.focus_key(window, "alt+F4")
        s.ends(program, "Alt+F4")


def prefixes():
    """Makes the prefix templates that the runs copy, if missing: the 64-bit
    one first, while no qemu handler is registered (with one, its 32-bit
    parts run under qemu: minutes instead of seconds), then the one that
    32-bit runs take under qemu."""
    for arch in ("win64", "win32") if qemu.route()[0] == "qemu" else ("win64",):
        with Session(arch, None):
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("run")
    command.add_argument("arch", choices=["win64", "win32"])
    command.add_argument("program")
    command.add_argument("args", nargs=argparse.REMAINDER)
    commands.add_parser("show").add_argument("exe")
    command = commands.add_parser("picture")
    command.add_argument("exe")
    command.add_argument("screen")
    command.add_argument("seconds", type=float)
    command.add_argument("png")
    commands.add_parser("prefixes")
    options = vars(parser.parse_args())
    sys.stdout.reconfigure(line_buffering=True)
    try:
        return {"run": run, "show": show, "picture": picture, "prefixes": prefixes}[options.pop("command")](**options)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    except Skip as skip:
        print(f"{'#' * 40}\nSKIPPED: {skip}\n{'#' * 40}", file=sys.stderr)
        return 77


if __name__ == "__main__":
    sys.exit(main())
