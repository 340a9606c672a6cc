#!/usr/bin/env python3
"""The release zip rebuilds to the same bytes elsewhere:
rebuild_test.py SOURCE ZIP EPOCH WORK

Copies the source tree SOURCE (without its build folder and git's) to
WORK/source, another path, configures the win64 and win32 presets there and
builds the release (which builds the win64 build's programs too) with
SOURCE_DATE_EPOCH=EPOCH (the copy is no git checkout; EPOCH is the time the
first build took from the commit), and compares that zip and its .sha256 with
ZIP's, byte for byte. Only what the zip holds is built: the copy's tests are
not."""
import os
import shutil
import subprocess
import sys
import zipfile


def differences(first, second):
    """What differs between two zips: entries' names, headers or contents."""
    with zipfile.ZipFile(first) as a, zipfile.ZipFile(second) as b:
        if a.namelist() != b.namelist():
            return [f"entries {a.namelist()} and {b.namelist()}"]
        found = []
        for x, y in zip(a.infolist(), b.infolist()):
            if (x.date_time, x.extra, x.external_attr, x.create_system, x.CRC) != \
                    (y.date_time, y.extra, y.external_attr, y.create_system, y.CRC):
                found.append(x.filename)
        return found or ["the zips' bytes, though every entry is the same"]


def main(source, zip_path, epoch, work):
    # The rebuild takes the processor time that the other tests leave: it
    # proves the same bytes however long it takes.
    os.nice(10)
    copy = os.path.join(work, "source")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(source, copy, symlinks=True,
                    ignore=lambda folder, names: ["build", ".git"] if folder == source else [])
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    jobs = f"-j{os.cpu_count()}"
    for command in (["cmake", "--preset", "win64"],
                    ["cmake", "--preset", "win32"],
                    ["cmake", "--build", "--preset", "win32", jobs, "--target", "release"]):
        print("$", " ".join(command), flush=True)
        subprocess.run(command, cwd=copy, env=env, check=True, stdout=subprocess.DEVNULL)
    # The presets build inside the tree: the copy's zip is at the same place in the copy.
    rebuilt = os.path.join(copy, os.path.relpath(zip_path, source))
    failed = False
    for first, second in ((zip_path, rebuilt), (zip_path + ".sha256", rebuilt + ".sha256")):
        with open(first, "rb") as a, open(second, "rb") as b:
            same = a.read() == b.read()
        print(f"{'same' if same else 'DIFFERENT'}: {first} and {second}")
        failed |= not same
    if failed:
        print("what differs:", ", ".join(differences(zip_path, rebuilt)))
        return 1
    shutil.rmtree(work)
    print("report: the release zip rebuilt from a copy of the tree at another path is the same bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
