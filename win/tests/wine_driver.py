#!/usr/bin/env python3
"""Runs Windows programs under Wine on a virtual X screen of their own, and
the helpers that the check scripts (window_checks.py, saver_checks.py,
release_checks.py) share. Every process a run starts ends with the run.

    import wine_driver as wd
    with wd.Session("win32", screens=["1280x800x24", "1024x768x24"]) as s:
        scr = s.start("build/win32/scr/mandelbrot.scr", "/s")  # under Wine, own session
        xid = s.find_window("^Mandelbrot Set$")                 # X window id, polled
        s.xdotool("mousemove", "10", "10")                      # real input; or
        s.focus_key(xid, "Escape")
        state = s.wait_state(lambda st: st["client"] == (0, 0, 1280, 800), "not covered", scr)
        s.check_frame(scr, (0, 0, 1280, 800))                   # shows a frame of the core
        s.probe("close")                                        # window-probe.exe's commands
        s.ends(scr, "WM_CLOSE")                                 # exit code 0, or fail
    # a check script's scenarios are its public functions, each taking the
    # arch first; it ends with: wd.main()

arch "win64" or "win32": a 32-bit exe runs through WoW64 by the route that
scripts/run32 names; where that needs what this run lacks, Skip is raised, which
main() turns into exit code 77. screens: one "WxHxDEPTH" per X screen, or None
for the caller's $DISPLAY; two or more become Xinerama heads, which this Xvfb
(21.1) all puts at (0, 0), so that they overlap on a root of the largest. Waits poll
with deadlines scaled by the machine's measured pace (Session.deadline); fail()
ends a check with a message (exit code 1 through main()). The 64-bit
window-probe.exe and the host's frame tool are named by MANDELBROT_WINDOW_PROBE
and MANDELBROT_FRAME_TOOL (CMake sets both for each check).

Teardown cannot be skipped: the run holds a lock on a Wine prefix of its own
(build/wine/KIND-N, one per concurrent run, created once), and a guardian
process outside the run's process tree, told of every process group the run
starts, ends them, the prefix's wineserver (wineserver -k) and the X server
once the run ends: normally, by a signal, or killed outright.

    wine_driver.py run win64|win32 PROGRAM [ARG...]   CTest's emulator (wine-run):
        runs the program on a 1024x768 screen; exits with its exit code
    wine_driver.py show EXE                   the window on $DISPLAY, until it is closed
    wine_driver.py picture EXE WxHxD SECONDS PNG   the whole window, caption and all
    wine_driver.py prefixes                   makes the prefix templates the checks copy
"""
import fcntl
import inspect
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BINFMT = "/proc/sys/fs/binfmt_misc"
# The handler is the machine's, whichever checkout registered it; the marker
# says that a run registered it (and not the machine's administrator).
BINFMT_LOCK, BINFMT_OURS = "/run/lock/mandelbrot-qemu-i386.lock", "/run/lock/mandelbrot-qemu-i386.ours"
QEMU_I386 = (r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
             r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
             r":/usr/bin/qemu-i386-static:F")
# A Wine round trip ("cmd /c exit") takes at most this long on an idle machine here.
IDLE_PACE = 0.2
# The window's timer fires at most every 16 ms.
TICK_SECONDS = 0.016
# The probe's state line: each key and how many numbers follow it (hexadecimal for the styles).
STATE_KEYS = dict(window=4, client=4, style=1, exstyle=1, iconic=1, screen=2, depth=1, foreground=1, focus=1)
# A leak of 512 bytes a tick must raise the memory floor by more than BOUND_KIB
# between the two floors: they are LEAK_SPAN ticks apart.
BOUND_KIB, RUNAWAY_KIB, LEAK_SPAN = 1024, 65536, 2560
# The screen saver's windows' styles.
WS_POPUP, WS_CAPTION, WS_EX_TOPMOST = 0x80000000, 0x00C00000, 0x8


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
        self.probe_exe = probe or os.environ.get("MANDELBROT_WINDOW_PROBE") or os.path.join(
            ROOT, "build/win64/win/tests/window-probe.exe")
        self.tool = tool or os.environ.get("MANDELBROT_FRAME_TOOL") or os.path.join(
            ROOT, "build/host/tools/mandelbrot-frames")
        self.bits = [5, 5, 5] if screens and screens[0].endswith("x16") else [8, 8, 8]
        self.pace = None

    # --- the run's processes and their end ---------------------------------

    def __enter__(self):
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        self.env = dict(os.environ, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        if self.route[0] == "qemu" and os.getuid() != 0:
            raise Skip("32-bit Wine needs qemu-i386 registered with binfmt_misc here, which needs root")
        # Runs under qemu share the machine's handler: each holds this lock
        # shared, and the last to end unregisters it (guard).
        locks = []
        if self.route[0] == "qemu":
            locks.append(os.open(BINFMT_LOCK, os.O_RDWR | os.O_CREAT, 0o644))
            fcntl.flock(locks[0], fcntl.LOCK_SH)
        locks.append(self._take_prefix())
        self.guard = subprocess.Popen([sys.executable, os.path.abspath(__file__), "guard"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                      pass_fds=locks, start_new_session=True)
        self.guard.wait()  # it has forked away from the run's process tree
        for fd in locks:
            os.close(fd)  # the guardian holds them until it is done
        self._tell("prefix", self.env["WINEPREFIX"])
        if self.route[0] == "qemu":
            self._tell("binfmt-lock", locks[0])
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
        """Makes the run's prefix, unless it has one, as a copy of the kind's
        template (hard links, but for the registry, which Wine writes): making
        a prefix takes minutes under qemu, a copy a second."""
        prefix = self.env["WINEPREFIX"]
        # What an owner killed with its guardian may have left in it.
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        if os.path.exists(os.path.join(prefix, "system.reg")):
            return
        template = os.path.join(ROOT, "build", "wine", self.kind + "-template")
        lock = self._lock(self.kind + "-template", wait=True)
        try:
            if not os.path.exists(os.path.join(template, "system.reg")):
                self._create_prefix(template)
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

    def _create_prefix(self, prefix):
        print(f"creating the Wine prefix {prefix}", file=sys.stderr)
        shutil.rmtree(prefix, ignore_errors=True)
        env = dict(self.env, WINEPREFIX=prefix)
        began = time.monotonic()
        with open(prefix + ".log", "w") as log:
            self.run(WINE, "wineboot", "-i", deadline=900, stdout=log, stderr=subprocess.STDOUT,
                     env=dict(env, WINEDEBUG="err+all"))
            # Wine hands full-screen windows to the window manager and waits up
            # to 2 s for it to withdraw each one that closes; these X screens
            # have none, and the saver's tests open and close dozens (69 s of
            # waiting a run). Their windows are only looked at from inside.
            self.run(WINE, "reg", "add", r"HKCU\Software\Wine\AppDefaults\saver_tests.exe\X11 Driver",
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

    def _qemu(self):
        # 32-bit Wine runs under qemu-i386, registered with binfmt_misc for this
        # run only: the handler slows 64-bit Wine down.
        if not os.path.exists(BINFMT + "/register"):
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
        if not os.path.exists(BINFMT + "/qemu-i386"):
            open(BINFMT_OURS, "w").close()
            try:
                with open(BINFMT + "/register", "w") as register:
                    register.write(QEMU_I386)
            except FileExistsError:  # another run's, at the same moment
                pass
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

    def wait_exit(self, process, what, seconds=20):
        """The program's exit code, once it has ended within deadline(seconds)."""
        try:
            return process.wait(timeout=self.deadline(seconds))
        except subprocess.TimeoutExpired:
            fail(f"{what} within {self.deadline(seconds):.1f} s")

    def ends(self, process, how, seconds=20):
        """The program ends after how (Alt+F4, WM_CLOSE, a key) within
        deadline(seconds), with exit code 0."""
        code = self.wait_exit(process, f"{how} did not end the program", seconds)
        if code != 0:
            fail(f"the program exited with code {code} after {how}")
        print(f"{how}: ended, exit code 0")

    def close(self, process):
        self.probe("close")
        self.ends(process, "WM_CLOSE")

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
        words, state = line.split(), dict(line=line)
        for i, key in enumerate(words):
            if key in STATE_KEYS and key not in state:
                values = words[i + 1:i + 1 + STATE_KEYS[key]]
                try:
                    numbers = tuple(int(v, 16 if key in ("style", "exstyle") else 10) for v in values)
                except ValueError:
                    break
                state[key] = numbers if len(numbers) > 1 else numbers[0]
        if set(state) != set(STATE_KEYS) | {"line"}:
            fail(f"window-probe state said: {line}")
        return state

    def poll(self, check, what, seconds=10):
        """Calls check() until it returns something true, within deadline(seconds);
        what (or what()) says what failed."""
        end = time.monotonic() + self.deadline(seconds)
        while True:
            value = check()
            if value or time.monotonic() > end:
                return value or fail(what() if callable(what) else what)
            time.sleep(0.2)

    def retry(self, attempt, what, attempts=3):
        """attempt() until it returns something true, at most attempts times
        (a screenshot can catch a paint halfway); what says what failed."""
        for n in range(attempts):
            value = attempt()
            if value:
                return value
            print(f"attempt {n + 1} of {attempts}: {what}", file=sys.stderr)
        fail(what)

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

    def match(self, rgb, w, h, first, last, top=0):
        """The tick from first to last whose w x h frame, from row top down,
        the screenshot equals in the bits per channel that the screen keeps,
        or None."""
        masks = [bytes(v >> (8 - b) << (8 - b) for v in range(256)) for b in self.bits]
        want = [rgb[c::3].translate(masks[c]) for c in range(3)]
        cmd = [self.tool, "--size", f"{w}x{h}", "--from", str(first), "--ticks", str(last), "--raw"]
        with subprocess.Popen(cmd, stdout=subprocess.PIPE) as tool:
            for tick in range(first, last + 1):
                frame = tool.stdout.read(4 * w * h)
                if len(frame) < 4 * w * h:
                    fail(f"the frame tool gave no frame {tick} at {w}x{h}")
                rows = frame[4 * w * top:]
                if all(rows[2 - c::4].translate(masks[c]) == want[c] for c in range(3)):
                    tool.kill()
                    return tick
        return None

    def find_tick(self, rgb, w, h, estimate, low, high, top=0):
        """The tick from low to high that the screenshot shows, searched in
        windows of ticks from estimate outwards, or None."""
        width = 32 + (estimate - low) // 10
        up = down = min(max(estimate, low), high)
        while up <= high or down > low:
            if up <= high:
                tick = self.match(rgb, w, h, up, min(up + width - 1, high), top)
                if tick:
                    return tick
                up += width
            if down > low:
                tick = self.match(rgb, w, h, max(down - width, low), down - 1, top)
                if tick:
                    return tick
                down -= width
        return None

    # --- what the checks share ---------------------------------------------

    def shown_tick(self, program, rect, last=None, frame=None):
        """The tick whose frame the screen rectangle (x, y, w, h) shows, searched
        near the count that the last one, (tick, seconds since the start),
        predicts; and when. frame (w, h, top): the rectangle shows that frame's
        rows from top down, not a whole frame of its own size."""
        fw, fh, top = frame or (rect[2], rect[3], 0)

        def attempt():
            elapsed = time.monotonic() - self.born[program.pid]
            rgb = self.screenshot(*rect)
            high = self.max_tick(program)
            estimate = self._estimate(high) if not last else last[0] + int(last[0] / last[1] * (elapsed - last[1]))
            tick = self.find_tick(rgb, fw, fh, estimate, last[0] if last else 1, high, top)
            return tick and (tick, elapsed)
        return self.retry(attempt, f"the window shows no frame of the core at {fw}x{fh}")

    def _estimate(self, high):
        # An emulated exe makes a few ticks a second, not 60: searching down from
        # the most it could have made would render thousands of frames first.
        return 1 if self.route[0] == "qemu" else high

    def check_frame(self, program, client):
        """The client area shows, pixel for pixel, the core's frame of some tick."""
        x, y, w, h = client

        def painted():  # under qemu the first frame comes long after the window
            rgb = self.screenshot(x, y, w, h)
            return rgb != rgb[:3] * (w * h)
        self.poll(painted, "the client area shows only its background", seconds=20)
        print(f"the client area equals the frame of tick {self.shown_tick(program, client)[0]} at {w}x{h}")

    def cover_screen(self, exe, w, h):
        """Starts the window program and makes it cover the w x h screen
        (Escape); returns the program and the Linux process that runs its code."""
        program = self.start(exe)
        self.wait_state(lambda st: True, 'no window "Mandelbrot Set" appeared', program, seconds=120)
        worker = self.worker(exe)
        self.focus_key(self.find_window("^Mandelbrot Set$"), "Escape")
        self.wait_state(lambda st: st["client"] == (0, 0, w, h), f"Escape did not give a {w}x{h} client area", program)
        return program, worker

    def saver_windows(self):
        """The screen saver's windows as (left, top, right, bottom, style, exstyle), left to right."""
        found = []
        for line in self.probe("screens").split("\n"):
            w = line.split()
            if w and w[0] == "screen":
                found.append(tuple(map(int, w[1:5])) + (int(w[6], 16), int(w[8], 16)))
        return sorted(found)

    def wait_saver_windows(self, rects):
        """Waits until the saver shows a borderless topmost window on each of rects."""
        def shown():
            found = self.saver_windows()
            return [w[:4] for w in found] == rects and all(
                w[4] & (WS_POPUP | WS_CAPTION) == WS_POPUP and w[5] & WS_EX_TOPMOST for w in found)
        self.poll(shown, lambda: f"the saver did not show borderless topmost windows on {rects}; "
                                 f"it shows {self.saver_windows()}", seconds=20)

    def watch_memory(self, program, worker, rect):
        """Samples the worker's resident memory each second until LEAK_SPAN ticks
        separate the floor of 10 to 14 s from the floor of the last 5 s, while the
        rectangle must keep showing newer frames. Fails if the floor grows by more
        than BOUND_KIB or a sample runs away; returns a summary and the probe's
        resources line at 10 s."""
        # Under WoW64 a paint holds a copy of the frame for a moment, so single
        # samples rise by up to a frame's bytes and fall back; the floor, the
        # lowest of 5 samples, rises only with a leak.
        samples, early, late, end = [], None, None, None
        while end is None or len(samples) < end:
            time.sleep(1)
            self.alive(program, f"after {len(samples) + 1} s")
            samples.append(rss(worker))
            if len(samples) == 10:
                resources = self.run(WINE, self.probe_exe, "resources", deadline=self.deadline(30))
            elif len(samples) == 14:
                early = self.shown_tick(program, rect)
            elif early and end is None and len(samples) % 5 == 4:
                previous, late = late or early, self.shown_tick(program, rect, late or early)
                if late[0] == previous[0]:
                    fail(f"the window stands still at the frame of tick {late[0]}")
                end = len(samples) + 5 if late[0] - early[0] >= LEAK_SPAN else None
            if len(samples) > 10 and samples[-1] > samples[9] + RUNAWAY_KIB:
                fail(f"resident memory grew from {samples[9]} KiB at 10 s to {samples[-1]} KiB at {len(samples)} s")
        floors = min(samples[9:14]), min(samples[-5:])
        if floors[1] > floors[0] + BOUND_KIB:
            fail(f"the floor of resident memory grew from {floors[0]} KiB (10 to 14 s) to {floors[1]} KiB "
                 f"(the last 5 s), more than {BOUND_KIB} KiB in {late[0] - early[0]} ticks")
        summary = (f"resident memory flat over {late[0] - early[0]} ticks in {len(samples)} s (floor {floors[0]} KiB, "
                   f"then {floors[1]} KiB, bound +{BOUND_KIB}; peak {max(samples[9:])})")
        print("soak:", summary)
        return summary, resources

    def compare_gui_objects(self, resources, gdi_margin):
        """Where the platform counts them (resources is the probe's line from
        earlier), GDI objects may not have grown by more than gdi_margin, nor
        USER objects, where counted too, at all; returns what was seen. Wine
        counts no 32-bit process's: the 64-bit build's checks count them for
        the same code."""
        if not resources.startswith("gdi "):
            return "GDI objects not counted here (Wine counts no 32-bit process's; the 64-bit run does)"
        before, after = gui_objects(resources), gui_objects(self.probe("resources"))
        grown = [f"{kind} objects went from {before[kind]} to {after[kind]}" for kind in sorted(before)
                 if after[kind] > before[kind] + (gdi_margin if kind == "GDI" else 0)]
        if grown:
            fail(", ".join(grown))
        return ", ".join(f"{kind} {before[kind]} -> {after[kind]}" for kind in sorted(before))


def gui_objects(resources):
    """The probe's resources line, "gdi G user U" or "gdi G", as {"GDI": G, "USER": U}."""
    words = resources.split()
    return {kind.upper(): int(count) for kind, count in zip(words[::2], words[1::2])}


def rss(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read())[1])


def cpu_ticks(pid):
    """The processor time the process has used, user and system, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))


def emulated(arch):
    """Whether a Wine run of this arch runs the exe under qemu."""
    return arch == "win32" and route()[0] == "qemu"


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
    for fd in values("binfmt-lock"):
        try:  # only if no other run holds the lock: then none uses the handler
            fcntl.flock(int(fd), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            continue
        if os.path.exists(BINFMT_OURS):
            with open(BINFMT + "/qemu-i386", "w") as handler:
                handler.write("-1")
            os.remove(BINFMT_OURS)


def run(arch, program, *args):
    with Session(arch) as s:
        if arch == "win32":
            print(f"report: win32 {os.path.basename(program)} under Wine: {s.route[0]} route ({s.route[1]})")
        sys.exit(s.start(program, *args).wait())


def show(exe):
    with Session("win64", None) as s:
        s.start(exe).wait()


def picture(exe, screen, seconds, png):
    """Runs the 64-bit exe for SECONDS and saves the whole window. The pictures'
    prefix tells Wine not to ask for window-manager decorations (Decorated = N),
    so Wine draws the caption itself, whose buttons are glyphs of Wine's Marlett
    font, which it finds only in the prefix's Fonts folder."""
    with Session("win64", [screen], kind="pictures") as s:
        fonts = os.path.join(s.env["WINEPREFIX"], "drive_c/windows/Fonts")
        if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            s.run(WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                  "/d", "N", "/f", deadline=s.deadline(60), what="reg add")
            for font in os.listdir("/usr/share/wine/fonts"):
                shutil.copy(os.path.join("/usr/share/wine/fonts", font), fonts)
        program = s.start(exe)
        left, top, right, bottom = s.wait_state(lambda st: True, "no window appeared", program, seconds=120)["window"]
        time.sleep(float(seconds))
        subprocess.run(["import", "-window", "root", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                        "+repage", png], env=s.env, check=True)
        s.close(program)


def prefixes():
    """Makes the prefix templates that the checks copy, if missing, so that a
    test command can make them ahead of its Windows checks: the 64-bit ones
    first, while no qemu handler is registered (with one, their 32-bit parts
    run under qemu: minutes instead of seconds), then the one that 32-bit
    runs take under qemu."""
    kinds = [("win64", None), ("win64", "desktop")]
    if route()[0] == "qemu":
        kinds.append(("win32", None))
    for arch, kind in kinds:
        with Session(arch, None, kind=kind):
            pass


def main(commands=None):
    """Runs the command that argv[1] names: by default a public function of
    the script that was started (- for _), with the rest of argv. Exit code 0,
    1 with the failure, or 77 for a skip; without a known command, the usage."""
    script = sys.modules["__main__"]
    commands = commands or {name.replace("_", "-"): f for name, f in vars(script).items()
                            if inspect.isfunction(f) and f.__module__ == "__main__" and not name.startswith("_")}
    if len(sys.argv) < 2 or sys.argv[1] not in commands:
        usage = [f"  {os.path.basename(sys.argv[0])} {name} {' '.join(inspect.signature(f).parameters).upper()}"
                 for name, f in commands.items()]
        sys.exit("\n".join([(script.__doc__ or "").strip(), "", *usage]))
    sys.stdout.reconfigure(line_buffering=True)
    try:
        commands[sys.argv[1]](*sys.argv[2:])
        return 0
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    except Skip as skip:
        print(f"{'#' * 40}\nSKIPPED: {skip}\n{'#' * 40}", file=sys.stderr)
        return 77


if __name__ == "__main__":
    if sys.argv[1:] == ["guard"]:
        guard()
    else:
        sys.exit(main({"run": run, "show": show, "picture": picture, "prefixes": prefixes}))
