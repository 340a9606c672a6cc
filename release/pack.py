#!/usr/bin/env python3
"""Packs the release zip so that the same files give the same bytes:
pack.py EPOCH ZIP FOLDER NAME...

Writes FOLDER/SHA256SUMS (the SHA-256 of each NAME in FOLDER), then ZIP with
the NAMEs and SHA256SUMS in that order, each dated EPOCH (seconds since 1970,
UTC), deflated, with no extra fields and no Unix attributes, and last
ZIP.sha256, the zip's own SHA-256, in the form sha256sum -c reads."""
import datetime
import hashlib
import os
import sys
import zipfile


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def main(epoch, zip_path, folder, *names):
    with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
        sums.writelines(f"{sha256(os.path.join(folder, name))}  {name}\n" for name in names)
    when = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).timetuple()[:6]
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name in (*names, "SHA256SUMS"):
            entry = zipfile.ZipInfo(name, when)
            entry.create_system = 0  # MS-DOS: no Unix permission bits
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as data:
                archive.writestr(entry, data.read(), compresslevel=9)
    os.replace(partial, zip_path)
    with open(zip_path + ".sha256", "w", newline="\n") as own:
        own.write(f"{sha256(zip_path)}  {os.path.basename(zip_path)}\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
