"""Runs Windows programs under Wine on a virtual X screen of their own, for the
window checks (wine_checks.py). Every process a run starts ends with the run.

    import wine_driver as wd
    with wd.Session("win32", screens=["1280x800x24", "1024x768x24"]) as s:
        scr = s.start("build/win32/scr/mandelbrot.scr", "/s")  # under Wine, own session
        xid = s.find_window("^Mandelbrot Set$")                 # X window id, polled
        s.xdotool("mousemove", "10", "10")                      # real input; or
        s.focus_key(xid, "Escape")
        state = s.wait_state(lambda st: st["client"] == (0, 0, 1280, 800), "not covered", scr)
        rgb = s.screenshot(0, 0, 1280, 800)                     # raw 8-bit RGB
        tick = s.match(rgb, 1280, 800, 1, s.max_tick(scr))      # the frame it shows, or None
        s.probe("close")                                        # window-probe.exe's commands
        code = s.wait_exit(scr, "WM_CLOSE did not end it")       # its exit code
    # a check script ends with: sys.exit(wd.main(check, *sys.argv[1:]))

arch "win64" or "win32": a 32-bit exe runs through WoW64 by the route that
scripts/run32 names; where that needs what this run lacks, Skip is raised, which
main() turns into exit code 77. screens: one "WxHxDEPTH" per X screen, or None
for the caller's $DISPLAY; two or more become Xinerama heads, which this Xvfb
(21.1) all puts at (0, 0), so that they overlap on a root of the largest. Waits poll
with deadlines scaled by the machine's measured pace (Session.deadline); fail()
ends a check with a message (exit code 1 through main()).

Teardown cannot be skipped: the run holds a lock on a Wine prefix of its own
(build/wine/KIND-N, one per concurrent run, created once), and a guardian
process outside the run's process tree, told of every process group the run
starts, ends them, the prefix's wineserver (wineserver -k) and the X server
once the run ends: normally, by a signal, or killed outright.
"""
import fcntl
import os
import select
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BINFMT = "/proc/sys/fs/binfmt_misc"
QEMU_I386 = (r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
             r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
             r":/usr/bin/qemu-i386-static:F")
# A Wine round trip ("cmd /c exit") takes at most this long on an idle machine here.
IDLE_PACE = 0.2
# The window's timer fires at most every 16 ms.
TICK_SECONDS = 0.016


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def fail(message):
    raise Failure(message)


def route():
    """("native" or "qemu", why): how 32-bit x86 code runs here."""
    line = subprocess.run([os.path.join(ROOT, "scripts", "run32"), "--route"], check=True,
                          capture_output=True, text=True).stdout.strip()
    name, _, why = line.partition(" ")
    return name, why.strip("()")


def max_tick(seconds):
    """The most ticks a window can have made in that many seconds, and a few more."""
    return int(seconds / TICK_SECONDS) + 20


class Session:
    def __init__(self, arch, screens=("1024x768x24",), kind=None, probe=None, tool=None):
        self.screens, self.groups, self.born = screens, [], {}
        self.route = route() if arch == "win32" else ("native", "64-bit")
        self.kind = kind or ("wow64" if self.route[0] == "qemu" else "win64")
        self.probe_exe = probe or os.path.join(ROOT, "build/win64/win/tests/window-probe.exe")
        self.tool = tool or os.path.join(ROOT, "build/host/tools/mandelbrot-frames")
        self.bits = [5, 5, 5] if screens and screens[0].endswith("x16") else [8, 8, 8]
        self.pace = None

    # --- the run's processes and their end ---------------------------------

    def __enter__(self):
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        self.env = dict(os.environ, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        if self.route[0] == "qemu" and os.getuid() != 0:
            raise Skip("32-bit Wine needs qemu-i386 registered with binfmt_misc here, which needs root")
        # One run under qemu at a time: the handler is the machine's.
        locks = [self._lock("binfmt", wait=True)] if self.route[0] == "qemu" else []
        locks.append(self._take_prefix())
        self.guard = subprocess.Popen([sys.executable, os.path.abspath(__file__), "guard"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                      pass_fds=locks, start_new_session=True)
        self.guard.wait()  # it has forked away from the run's process tree
        for fd in locks:
            os.close(fd)  # the guardian holds them until it is done
        self._tell("prefix", self.env["WINEPREFIX"])
        try:
            if self.route[0] == "qemu":
                self._qemu()
            self.env["DISPLAY"] = self._xvfb() if self.screens else os.environ.get("DISPLAY", "")
            self._make_prefix()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        self.guard.stdin.close()
        if not select.select([self.guard.stdout], [], [], 120)[0]:
            print("the guardian did not report the run's end within 120 s", file=sys.stderr)
        return False

    def _tell(self, what, value):
        self.guard.stdin.write(f"{what} {value}\n")
        self.guard.stdin.flush()

    def _lock(self, name, wait):
        os.makedirs(os.path.join(ROOT, "build", "wine"), exist_ok=True)
        fd = os.open(os.path.join(ROOT, "build", "wine", name + ".lock"), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
            return fd
        except BlockingIOError:
            os.close(fd)
            return None

    def _take_prefix(self):
        """Locks the first free prefix of this kind."""
        n = 0
        while (fd := self._lock(f"{self.kind}-{n}", wait=False)) is None:
            n += 1
        self.env["WINEPREFIX"] = os.path.join(ROOT, "build", "wine", f"{self.kind}-{n}")
        return fd

    def _make_prefix(self):
        prefix = self.env["WINEPREFIX"]
        # What an owner killed with its guardian may have left in it.
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        if os.path.exists(os.path.join(prefix, "system.reg")):
            return
        print(f"creating the Wine prefix {prefix}", file=sys.stderr)
        with open(prefix + ".log", "w") as log:
            self.run(WINE, "wineboot", "-i", deadline=600, stdout=log, stderr=subprocess.STDOUT, env=dict(self.env, WINEDEBUG="err+all"))
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=120)
        except subprocess.TimeoutExpired:  # under qemu some services never finish
            subprocess.run([WINESERVER, "-k"], env=self.env)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            fail(f"could not create the Wine prefix {prefix}; see {prefix}.log")

    def _qemu(self):
        # 32-bit Wine runs under qemu-i386, registered with binfmt_misc for this
        # run only: the handler slows 64-bit Wine down.
        if not os.path.exists(BINFMT + "/register"):
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
        if not os.path.exists(BINFMT + "/qemu-i386"):
            with open(BINFMT + "/register", "w") as register:
                register.write(QEMU_I386)
            self._tell("registered", "qemu-i386")
        # qemu-i386 hands the guest all 4 GiB and puts a mapping elsewhere when
        # an address is taken; Wine keeps such strays, and they crowd out the
        # page it needs at 0x7ffe0000, so the guest gets less. Wine then tries
        # to reserve everything above 0x7ffe0000 in halving pieces, each of
        # which qemu first maps elsewhere: with 3 GiB that took 2 to 3 minutes
        # of every 32-bit start here, with 2 GiB + 256 MiB 15 to 20 s (2 GiB
        # is too little for Wine).
        self.env.update(QEMU_RESERVED_VA="0x90000000", MANDELBROT_EMULATED="qemu-i386")

    def _xvfb(self):
        """Starts Xvfb on a free display number; returns ":N" or fails."""
        read, write = os.pipe()
        args = ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"]
        if len(self.screens) > 1:
            args += ["+xinerama", "-extension", "RANDR"]
        for n, screen in enumerate(self.screens):
            args += ["-screen", str(n), screen]
        xvfb = self.spawn(args, pass_fds=[write], stderr=subprocess.DEVNULL, tell="xvfb")
        os.close(write)
        number = b""
        end = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < end and xvfb.poll() is None:
            if select.select([read], [], [], 0.1)[0]:
                number += os.read(read, 16) or b"\n"
        os.close(read)
        if not number.strip().isdigit():
            try:
                how = f"it ended with exit code {xvfb.wait(timeout=1)}"
            except subprocess.TimeoutExpired:
                how = "it gave no display number within 30 s"
            fail(f"Xvfb {' '.join(args[5:])} did not come up: {how}")
        return ":" + number.decode().strip()

    def spawn(self, args, tell="group", **kwargs):
        """Starts a process in a session of its own, which the run's end ends."""
        kwargs.setdefault("env", self.env)
        process = subprocess.Popen(args, start_new_session=True, **kwargs)
        self.groups.append(process.pid)
        self._tell(tell, process.pid)
        self.born[process.pid] = time.monotonic()
        return process

    def run(self, *args, deadline, what=None, **kwargs):
        """Runs a command to its end within deadline seconds; returns its stdout."""
        kwargs.setdefault("stdout", subprocess.PIPE)
        process = self.spawn(list(args), text=True, **kwargs)
        try:
            out, _ = process.communicate(timeout=deadline)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            fail(f"{what or ' '.join(args)} did not finish within {deadline:.0f} s")
        if process.returncode and what:
            fail(f"{what} failed with exit code {process.returncode}")
        return (out or "").replace("\r", "")

    def deadline(self, seconds):
        """A wait that takes well under `seconds` on an idle machine here, scaled
        by how much slower Wine's round trip is now; an emulated exe gets 20 times more."""
        if self.pace is None:
            for _ in range(2):  # the first may start the prefix's services
                begun = time.monotonic()
                self.run(WINE, "cmd", "/c", "exit", deadline=600)
            self.pace = max(IDLE_PACE, time.monotonic() - begun)
        return seconds * self.pace / IDLE_PACE * (20 if self.route[0] == "qemu" else 1)

    # --- programs, windows and input --------------------------------------

    def start(self, exe, *args):
        """Starts a Windows program under Wine; returns its Popen."""
        return self.spawn([WINE, exe, *args])

    def wait_exit(self, process, what):
        """The program's exit code, once it has ended within its deadline."""
        try:
            return process.wait(timeout=self.deadline(20))
        except subprocess.TimeoutExpired:
            fail(what)

    def alive(self, process, when):
        if process.poll() is not None:
            fail(f"the program ended {when} (exit code {process.returncode})")

    def worker(self, exe):
        """The Linux process that runs the exe's code (a 32-bit exe gets one of its own)."""
        groups = ",".join(map(str, self.groups))
        return int(self.poll(lambda: self.run("pgrep", "-g", groups, "-x", os.path.basename(exe)[:15],
                                              deadline=self.deadline(10)).split()[:1],
                             f"no process of this run runs {exe}")[0])

    def probe(self, *args):
        """window-probe.exe's output for one of its commands."""
        return self.run(WINE, self.probe_exe, *args, deadline=self.deadline(30), what=f"window-probe {args[0]}")

    def state(self):
        """The probe's state line as a dict: window and client rectangles
        (left, top, right, bottom; x, y, width, height), style, exstyle, iconic,
        screen (width, height), depth, foreground, focus, and the line."""
        line = self.probe("state").strip()
        w = line.split()
        if len(w) != 25:
            fail(f"window-probe state said: {line}")
        number = lambda i: int(w[i], 16 if i in (11, 13) else 10)
        return dict(line=line, window=tuple(map(number, range(1, 5))), client=tuple(map(number, range(6, 10))),
                    style=number(11), exstyle=number(13), iconic=number(15), screen=(number(17), number(18)),
                    depth=number(20), foreground=number(22), focus=number(24))

    def poll(self, check, what, seconds=10):
        """Calls check() until it returns something true, within deadline(seconds);
        what (or what()) says what failed."""
        end = time.monotonic() + self.deadline(seconds)
        while True:
            value = check()
            if value or time.monotonic() > end:
                return value or fail(what() if callable(what) else what)
            time.sleep(0.2)

    def wait_state(self, test, what, program=None, seconds=10):
        """Polls the window's state until test(state) holds; returns the state.
        Fails at once if the program has ended."""
        last = {}

        def check():
            if program and program.poll() is not None:
                fail(f"{what}: the program ended with exit code {program.returncode}")
            try:
                last.update(self.state())
            except Failure:  # no window (yet)
                return None
            return test(last) and dict(last)
        return self.poll(check, lambda: f"{what}; the window reports: {last.get('line', 'no window')}", seconds)

    def xdotool(self, *args):
        return self.run("xdotool", *args, deadline=self.deadline(10), what="xdotool " + args[0])

    def find_window(self, name):
        """The X window id of the first visible window whose title matches name."""
        return self.poll(lambda: self.run("xdotool", "search", "--onlyvisible", "--name", name,
                                          deadline=self.deadline(10)).split()[:1],
                         f"no visible X window is named {name}")[0]

    def focus_key(self, xid, key):
        self.xdotool("windowfocus", "--sync", xid)
        self.xdotool("key", key)

    # --- screenshots and the frame tool's frames ---------------------------

    def screenshot(self, x, y, w, h):
        """That rectangle of the X screen as raw 8-bit R, G, B."""
        cmd = ["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"]
        rgb = subprocess.run(cmd, env=self.env, capture_output=True, timeout=self.deadline(20), check=True).stdout
        if len(rgb) != 3 * w * h:
            fail(f"the screenshot of {w}x{h}+{x}+{y} has {len(rgb)} bytes")
        return rgb

    def max_tick(self, process):
        return max_tick(time.monotonic() - self.born[process.pid])

    def match(self, rgb, w, h, first, last):
        """The tick from first to last whose frame the screenshot equals, in the
        bits per channel that the screen keeps, or None."""
        masks = [bytes(v >> (8 - b) << (8 - b) for v in range(256)) for b in self.bits]
        want = [rgb[c::3].translate(masks[c]) for c in range(3)]
        cmd = [self.tool, "--size", f"{w}x{h}", "--from", str(first), "--ticks", str(last), "--raw"]
        with subprocess.Popen(cmd, stdout=subprocess.PIPE) as tool:
            for tick in range(first, last + 1):
                frame = tool.stdout.read(4 * w * h)
                if len(frame) < 4 * w * h:
                    fail(f"the frame tool gave no frame {tick} at {w}x{h}")
                if all(frame[2 - c::4].translate(masks[c]) == want[c] for c in range(3)):
                    tool.kill()
                    return tick
        return None

    def find_tick(self, rgb, w, h, estimate, low, high):
        """The tick from low to high that the screenshot shows, searched in
        windows of ticks from estimate outwards, or None."""
        width = 32 + (estimate - low) // 10
        up = down = min(max(estimate, low), high)
        while up <= high or down > low:
            if up <= high:
                tick = self.match(rgb, w, h, up, min(up + width - 1, high))
                if tick:
                    return tick
                up += width
            if down > low:
                tick = self.match(rgb, w, h, max(down - width, low), down - 1)
                if tick:
                    return tick
                down -= width
        return None


def guard():
    """Waits for the run to end (its pipe closes) and then ends what it started."""
    if os.fork():
        os._exit(0)
    told = [line.split(" ", 1) for line in sys.stdin.read().splitlines()]
    values = lambda key: [value for what, value in told if what == key]
    env = dict(os.environ, WINEPREFIX=values("prefix")[0])
    for key in ("group", "server", "xvfb"):  # the X server last: Wine's processes hold it
        if key == "server":
            subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            try:
                subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
            except subprocess.TimeoutExpired:
                print(f"wineserver of {env['WINEPREFIX']} still there after 60 s", file=sys.stderr)
        for group in values(key):
            try:
                os.killpg(int(group), signal.SIGKILL)
            except ProcessLookupError:
                pass
    if values("registered"):
        with open(BINFMT + "/qemu-i386", "w") as handler:
            handler.write("-1")


def main(check, *args):
    """Runs check(*args): exit code 0, 1 with the failure, or 77 for a skip."""
    try:
        check(*args)
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    except Skip as skip:
        print(f"{'#' * 40}\nSKIPPED: {skip}\n{'#' * 40}", file=sys.stderr)
        return 77


if __name__ == "__main__" and sys.argv[1:] == ["guard"]:
    guard()
