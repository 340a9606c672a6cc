"""The release zip, unpacked as a user would, under Wine: each test_ function
is a scenario (see conftest.py for its fixtures and markers, and how CTest
runs it)."""
import datetime
import hashlib
import os
import pathlib
import re
import struct
import zipfile

import pytest

import saver_checks
import window_checks
from wine import fail, qemu

PROGRAMS = ("mandelbrot.exe", "mandelbrot64.exe", "mandelbrot.scr", "mandelbrot64.scr")
FILES = (*PROGRAMS, "readme.txt", "LICENSE.txt")


@pytest.fixture
def archs():
    """The builds whose programs run from the unpacked zip: both, or where
    32-bit programs run under qemu the 64-bit ones: the zip's 32-bit programs
    are the build's own bytes, which e2e_win32_depth24 and saver_run_win32_depth24
    run there (a run takes minutes and would prove nothing more)."""
    return ("win64",) if qemu.emulated("win32") else ("win64", "win32")


def link_time(path):
    """The TimeDateStamp of a PE file's header."""
    with open(path, "rb") as pe:
        data = pe.read(4096)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        fail(f"{path} is not a PE file")
    return struct.unpack_from("<I", data, header + 8)[0]


@pytest.mark.e2e
@pytest.mark.ctest_timeout(900)
def test_release_zip(wine, archs, zip_file, exe, scr, exe64, scr64, source_date_epoch, tmp_path):
    """The release zip holds the two exes, the two screen savers, the readme,
    the licence and SHA256SUMS (of the other six), in that order, each dated
    at the commit's time with no extra fields; the programs are the builds'
    bytes, linked at the commit's time; from the unpacked folder each exe
    passes the short scenario and each screen saver the /s checks."""
    with zipfile.ZipFile(zip_file) as archive:
        entries = archive.infolist()
        archive.extractall(tmp_path)
    names = [entry.filename for entry in entries]
    if names != [*FILES, "SHA256SUMS"]:
        fail(f"the zip holds {names}")
    when = datetime.datetime.fromtimestamp(source_date_epoch, datetime.timezone.utc).timetuple()[:6]
    # A zip keeps even seconds.
    odd = [e.filename for e in entries if e.extra or e.date_time != (*when[:5], when[5] // 2 * 2)]
    if odd:
        fail(f"these entries carry extra fields or another time than the commit's {when}: {odd}")
    version = re.fullmatch(r"mandelbrot-(.+)-windows\.zip", os.path.basename(zip_file))[1]
    title = (tmp_path / "readme.txt").read_bytes().split(b"\n", 1)[0] + b"\n"
    if title != f"Mandelbrot Set {version}\r\n".encode():
        fail(f"the readme starts {title!r}, not the name and version {version} with a Windows line end")
    sums = "".join(f"{hashlib.sha256((tmp_path / name).read_bytes()).hexdigest()}  {name}\n" for name in FILES)
    if (tmp_path / "SHA256SUMS").read_text() != sums:
        fail(f"SHA256SUMS is not\n{sums}")
    for name, built in zip(PROGRAMS, (exe, exe64, scr, scr64)):
        if (tmp_path / name).read_bytes() != pathlib.Path(built).read_bytes():
            fail(f"the zip's {name} is not the build's {built}")
        if link_time(tmp_path / name) != source_date_epoch:
            fail(f"{name} was linked at {link_time(tmp_path / name)}, not at the commit's time {source_date_epoch}")
    print(f"the zip's entries, sums and link times are as built ({source_date_epoch})")
    for arch in archs:
        suffix = "64" if arch == "win64" else ""
        window_checks.e2e(wine(arch, "640x480x24"), str(tmp_path / f"mandelbrot{suffix}.exe"), 24, window_checks.SHORT)
        saver_checks.saver_run(wine(arch, "640x480x24"), str(tmp_path / f"mandelbrot{suffix}.scr"), saver_checks.INPUTS)
    print(f"report: release zip: its files as built; {' and '.join(archs)} programs run from the unpacked folder")
