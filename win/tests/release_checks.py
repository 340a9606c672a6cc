#!/usr/bin/env python3
"""The release zip's check under Wine, on wine_driver: each public function is a
scenario, run as `release_checks.py NAME ARCH ARGS...` (CMake: add_wine_check).
Exit code 0 passed, 1 failed (the reason on stderr), 77 skipped."""
import os
import re
import sys
import tempfile
import zipfile

import saver_checks
import window_checks
import wine_driver as wd
from wine_driver import fail


def release(arch, zip_path, exe32, scr32):
    """The release zip holds the two exes, the two screen savers, the readme
    and the licence; each exe, started from the unpacked folder, passes the
    short scenario, and each screen saver the /s checks. arch names the build
    that packed it; both builds' programs run. Where 32-bit Wine runs under
    qemu, the zip's 32-bit programs are instead checked to be the very bytes of
    exe32 and scr32, the build's own, which e2e_win32 and saver_run_win32 run
    there (a run takes minutes and would prove nothing more)."""
    if not os.path.exists(zip_path):
        fail(f"no {zip_path}: build it with cmake --build --preset {arch} --target release")
    with tempfile.TemporaryDirectory() as folder:
        zipfile.ZipFile(zip_path).extractall(folder)
        names = sorted(os.listdir(folder))
        if names != ["LICENSE.txt", "mandelbrot.exe", "mandelbrot.scr", "mandelbrot64.exe", "mandelbrot64.scr",
                     "readme.txt"]:
            fail(f"the zip holds {names}")
        version = re.fullmatch(r"mandelbrot-(.+)-windows\.zip", os.path.basename(zip_path))[1]
        with open(os.path.join(folder, "readme.txt"), "rb") as readme:
            title = readme.readline()
        if title != f"Mandelbrot Set {version}\r\n".encode():
            fail(f"the readme starts {title!r}, not the name and version {version} with a Windows line end")
        window_checks.e2e("win64", "24", "short", os.path.join(folder, "mandelbrot64.exe"))
        saver_checks.run("win64", "24", os.path.join(folder, "mandelbrot64.scr"))
        if wd.emulated("win32"):
            for name, built in (("mandelbrot.exe", exe32), ("mandelbrot.scr", scr32)):
                with open(os.path.join(folder, name), "rb") as packed, open(built, "rb") as original:
                    if packed.read() != original.read():
                        fail(f"the zip's {name} is not the build's {built}")
            print("passed: the 64-bit programs run from the unpacked zip; its 32-bit ones are the build's bytes")
            return
        window_checks.e2e("win32", "24", "short", os.path.join(folder, "mandelbrot.exe"))
        saver_checks.run("win32", "24", os.path.join(folder, "mandelbrot.scr"))
    print("passed: both exes and both screen savers run from the unpacked zip")


if __name__ == "__main__":
    sys.exit(wd.main())
