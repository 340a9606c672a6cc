"""Wine prefixes: a run locks one of its kind, build/wine/KIND-N, the first
that no other run holds, so that runs go side by side. A prefix is made once,
as a copy of a template (hard links, but for the registry, which Wine
writes): making a prefix takes seconds, minutes under qemu, a copy a second.
Kinds: win64 (64-bit Wine with WoW64, which runs 32-bit programs natively),
wow64 (the same, made where 32-bit Wine runs under qemu, from a template of
its own), desktop (its runs set Wine's virtual desktop in it) and pictures
(the README's, whose runs set how Wine draws captions); the last two are
copies of win64's template, as a new prefix is the same for them."""
import fcntl
import os
import shutil
import subprocess
import sys
import time

from . import ROOT, WINE, WINESERVER, fail

FOLDER = os.path.join(ROOT, "build", "wine")


def _lock(name, wait):
    os.makedirs(FOLDER, exist_ok=True)
    fd = os.open(os.path.join(FOLDER, name + ".lock"), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        return fd
    except BlockingIOError:
        os.close(fd)
        return None


def take(kind):
    """Locks the first free prefix of this kind: (its lock's descriptor, its path)."""
    n = 0
    while (fd := _lock(f"{kind}-{n}", wait=False)) is None:
        n += 1
    return fd, os.path.join(FOLDER, f"{kind}-{n}")


def make(session, kind):
    """Makes the session's prefix, unless it has one, from the kind's template."""
    prefix = session.env["WINEPREFIX"]
    # What an owner killed with its guardian may have left in it.
    subprocess.run([WINESERVER, "-k"], env=session.env, stderr=subprocess.DEVNULL)
    if os.path.exists(os.path.join(prefix, "system.reg")):
        return
    name = (kind if kind == "wow64" else "win64") + "-template"
    template = os.path.join(FOLDER, name)
    lock = _lock(name, wait=True)
    try:
        if not os.path.exists(os.path.join(template, "system.reg")):
            _create(session, template)
    finally:
        os.close(lock)
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["cp", "-al", template, prefix], check=True)
    for reg in ("system.reg", "user.reg", "userdef.reg"):
        os.remove(os.path.join(prefix, reg))
        shutil.copy2(os.path.join(template, reg), os.path.join(prefix, reg))
    # The name of the template's wineserver's temporary folder: each prefix makes its own.
    if os.path.exists(os.path.join(prefix, "wineserver")):
        os.remove(os.path.join(prefix, "wineserver"))
    # The first Wine process in a prefix makes that folder and writes its name;
    # two first processes at once each make one, and one fails ("chdir to
    # /tmp/wine-...: No such file or directory"): the first goes alone.
    session.run(WINE, "cmd", "/c", "exit", deadline=600, what="the prefix's first Wine process")


def _create(session, prefix):
    print(f"creating the Wine prefix {prefix}", file=sys.stderr)
    shutil.rmtree(prefix, ignore_errors=True)
    env = dict(session.env, WINEPREFIX=prefix)
    began = time.monotonic()
    with open(prefix + ".log", "w") as log:
        session.run(WINE, "wineboot", "-i", deadline=900, stdout=log, stderr=subprocess.STDOUT,
                    env=dict(env, WINEDEBUG="err+all"))
        # Wine hands full-screen windows to the window manager and waits up
        # to 2 s for it to withdraw each one that closes; these X screens
        # have none, and the saver's tests open and close dozens (69 s of
        # waiting a run). Their windows are only looked at from inside.
        session.run(WINE, "reg", "add", r"HKCU\Software\Wine\AppDefaults\saver_tests.exe\X11 Driver",
                    "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f", deadline=120, stdout=log,
                    stderr=subprocess.STDOUT, env=env, what="reg add")
    try:
        subprocess.run([WINESERVER, "-w"], env=env, timeout=120)
    except subprocess.TimeoutExpired:  # under qemu some services never finish
        pass
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        fail(f"could not create the Wine prefix {prefix}; see {prefix}.log")
    print(f"report: Wine prefix {os.path.basename(prefix)} made in {time.monotonic() - began:.0f} s")
