"""How 32-bit x86 code runs here, and the qemu-i386 handler that 32-bit Wine
needs where it runs under qemu.

scripts/run32 decides the route. Under qemu, Wine's 32-bit processes start
through a qemu-i386 handler registered with binfmt_misc while a run needs it:
the handler is the machine's, whichever checkout registered it, so each run
holds a lock on it shared, and the last run to end unregisters it (the
guardian calls release). A marker file says that a run registered it, and not
the machine's administrator."""
import fcntl
import functools
import os
import subprocess

from . import ROOT

BINFMT = "/proc/sys/fs/binfmt_misc"
LOCK, OURS = "/run/lock/mandelbrot-qemu-i386.lock", "/run/lock/mandelbrot-qemu-i386.ours"
HANDLER = (r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
           r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
           r":/usr/bin/qemu-i386-static:F")


@functools.cache
def route():
    """("native" or "qemu", why): how 32-bit x86 code runs here."""
    line = subprocess.run([os.path.join(ROOT, "scripts", "run32"), "--route"], check=True,
                          capture_output=True, text=True).stdout.strip()
    name, _, why = line.partition(" ")
    return name, why.strip("()")


def emulated(arch):
    """Whether a Wine run of this arch runs the program under qemu."""
    return arch == "win32" and route()[0] == "qemu"


def share():
    """A descriptor that holds the handler's lock shared while it is open."""
    fd = os.open(LOCK, os.O_RDWR | os.O_CREAT, 0o644)
    fcntl.flock(fd, fcntl.LOCK_SH)
    return fd


def register(env):
    """Registers the handler unless there is one, and sets in env what
    32-bit Wine needs under qemu."""
    if not os.path.exists(BINFMT + "/register"):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
    if not os.path.exists(BINFMT + "/qemu-i386"):
        open(OURS, "w").close()
        try:
            with open(BINFMT + "/register", "w") as register:
                register.write(HANDLER)
        except FileExistsError:  # another run's, at the same moment
            pass
    # qemu-i386 hands the guest all 4 GiB and puts a mapping elsewhere when
    # an address is taken; Wine keeps such strays, and they crowd out the
    # page it needs at 0x7ffe0000, so the guest gets less. Wine then tries
    # to reserve everything above 0x7ffe0000 in halving pieces, each of
    # which qemu first maps elsewhere: with 3 GiB that took 2 to 3 minutes
    # of every 32-bit start here, with 2 GiB + 256 MiB 15 to 20 s (2 GiB
    # is too little for Wine).
    env.update(QEMU_RESERVED_VA="0x90000000", MANDELBROT_EMULATED="qemu-i386")


def release(fd):
    """Unregisters the handler if a run registered it and no other run holds
    the lock (then none uses it); the handler slows 64-bit Wine down."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return
    if os.path.exists(OURS):
        with open(BINFMT + "/qemu-i386", "w") as handler:
            handler.write("-1")
        os.remove(OURS)
