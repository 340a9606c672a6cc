"""A run under Wine: an X server of its own (or the caller's display), a Wine
prefix of its own and the processes it starts, all ended with it by the
guardian; and what the checks do with them.

    from wine.session import Session
    with Session("win32", ["1280x800x24", "1024x768x24"], probe=PROBE, tool=TOOL) as s:
        scr = s.start("build/win32/win/saver/mandelbrot.scr", "/s")  # under Wine, own session
        xid = s.find_window("^Mandelbrot Set$")                    # X window id, polled
        s.xdotool("mousemove", "10", "10")                         # real input; or
        s.focus_key(xid, "Escape")
        state = s.wait_state(lambda st: st["client"] == (0, 0, 1280, 800), "not covered", scr)
        s.check_frame(scr, (0, 0, 1280, 800))                      # shows a frame of the core
        s.probe("close")                                           # window-probe.exe's commands
        s.ends(scr, "WM_CLOSE")                                    # exit code 0, or fail

arch "win64" or "win32": a 32-bit program runs through WoW64 by the route
that scripts/run32 names; where that needs what this run lacks, Skip is
raised. screens: one "WxHxDEPTH" per X screen, or None for the caller's
$DISPLAY; two or more become Xinerama heads, which this Xvfb (21.1) all puts
at (0, 0), so that they overlap on a root of the largest. heads, a list
"WxH+X+Y,..." and the stand-in libXinerama.so.1 of the host build: Wine
sees those monitors on the one X screen, side by side. Waits poll with
deadlines scaled by the machine's measured pace (deadline); fail() ends a
check with a message. probe, the 64-bit window-probe.exe, and tool, the
host's frame tool, are needed only by what uses them."""
import os
import select
import signal
import subprocess
import sys
import time

from . import WINE, Failure, Skip, fail, frames, guardian, prefixes, qemu

# A Wine round trip ("cmd /c exit") takes at most this long on an idle machine here.
IDLE_PACE = 0.2
# The probe's state line: each key and how many numbers follow it (hexadecimal for the styles).
STATE_KEYS = dict(window=4, client=4, style=1, exstyle=1, iconic=1, screen=2, depth=1, foreground=1, focus=1)
# Where the screen saver keeps its settings, and the tick where /s stopped.
SAVER_KEY = r"HKCU\Software\Mandelbrot Set\Screen Saver"
# The screen saver's windows' styles.
WS_POPUP, WS_CAPTION, WS_EX_TOPMOST = 0x80000000, 0x00C00000, 0x8


class Session:
    def __init__(self, arch, screens=("1024x768x24",), kind=None, probe=None, tool=None, heads=None):
        self.arch, self.screens, self.groups, self.born, self.programs = arch, screens, [], {}, []
        self.heads = heads
        self.route = qemu.route() if arch == "win32" else ("native", "64-bit")
        self.kind = kind or ("wow64" if self.route[0] == "qemu" else "win64")
        self.probe_exe, self.tool = probe, tool
        self.bits = [5, 5, 5] if screens and screens[0].endswith("x16") else [8, 8, 8]
        self.pace = None

    # --- the run's processes and their end ---------------------------------

    def __enter__(self):
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        self.env = dict(os.environ, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        if self.heads:
            heads, library = self.heads
            self.env["MANDELBROT_HEADS"] = heads
            self.env["LD_LIBRARY_PATH"] = os.pathsep.join(
                filter(None, [os.path.dirname(library), os.environ.get("LD_LIBRARY_PATH")]))
        emulated = self.route[0] == "qemu"
        if emulated and os.getuid() != 0:
            raise Skip("32-bit Wine needs qemu-i386 registered with binfmt_misc here, which needs root")
        locks = [qemu.share()] if emulated else []
        prefix_lock, self.env["WINEPREFIX"] = prefixes.take(self.kind)
        locks.append(prefix_lock)
        self.guard = guardian.start(locks)
        for fd in locks:
            os.close(fd)  # the guardian holds them until it is done
        guardian.tell(self.guard, "prefix", self.env["WINEPREFIX"])
        if emulated:
            guardian.tell(self.guard, "binfmt-lock", locks[0])
        try:
            if emulated:
                qemu.register(self.env)
            self.env["DISPLAY"] = self._xvfb() if self.screens else os.environ.get("DISPLAY", "")
            prefixes.make(self, self.kind)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        guardian.end(self.guard)
        return False

    def _xvfb(self):
        """Starts Xvfb on a free display number; returns ":N" or fails."""
        read, write = os.pipe()
        args = ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"]
        if len(self.screens) > 1:
            args += ["+xinerama"]
        if len(self.screens) > 1 or self.heads:  # else Wine takes the monitors from RandR
            args += ["-extension", "RANDR"]
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
        guardian.tell(self.guard, tell, process.pid)
        self.born[process.pid] = time.monotonic()
        return process

    def run(self, *args, deadline, what=None, **kwargs):
        """Runs a command to its end within deadline seconds; returns its stdout.
        With what, an exit code other than 0 fails the check."""
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
        program = self.spawn([WINE, exe, *args])
        self.programs.append(program)
        return program

    def running(self):
        """Whether a program this run started is still running."""
        return any(program.poll() is None for program in self.programs)

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

    def probe(self, *args, check=True):
        """window-probe.exe's output for one of its commands; with check, an
        exit code other than 0 fails the check."""
        if not self.probe_exe:
            fail("this run was given no window-probe.exe")
        return self.run(WINE, self.probe_exe, *args, deadline=self.deadline(30),
                        what=f"window-probe {args[0]}" if check else None)

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

    def find_window(self, name, seconds=10):
        """The X window id of the first visible window whose title matches name,
        once there is one within deadline(seconds)."""
        return self.poll(lambda: self.run("xdotool", "search", "--onlyvisible", "--name", name,
                                          deadline=self.deadline(10)).split()[:1],
                         f"no visible X window is named {name}", seconds)[0]

    def focus_key(self, xid, key):
        self.xdotool("windowfocus", "--sync", xid)
        self.xdotool("key", key)

    # --- what the screen shows --------------------------------------------

    def screenshot(self, x, y, w, h):
        """That rectangle of the X screen as raw 8-bit R, G, B."""
        cmd = ["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"]
        rgb = subprocess.run(cmd, env=self.env, capture_output=True, timeout=self.deadline(20), check=True).stdout
        if len(rgb) != 3 * w * h:
            fail(f"the screenshot of {w}x{h}+{x}+{y} has {len(rgb)} bytes")
        return rgb

    def max_tick(self, process):
        return frames.max_tick(time.monotonic() - self.born[process.pid])

    def shown_tick(self, program, rects, last=None, frame=None, after=0):
        """The tick whose frame the screen shows in rects (one (x, y, w, h) or
        a list), from one screenshot, searched near the count that the last
        one, (tick, seconds since the start), predicts; and when. frame
        (w, h, x, y): the rects show their parts of that frame, placed with
        its top left corner at (x, y) of the screen; without it, the one rect
        shows a whole frame of its size. after: the program started at that
        tick, not at the first."""
        rects = [rects] if isinstance(rects[0], int) else list(rects)
        fw, fh, fx, fy = frame or (rects[0][2], rects[0][3], rects[0][0], rects[0][1])
        left, top = min(r[0] for r in rects), min(r[1] for r in rects)
        right, bottom = max(r[0] + r[2] for r in rects), max(r[1] + r[3] for r in rects)
        if not self.tool:
            fail("this run was given no frame tool")

        def attempt():
            elapsed = time.monotonic() - self.born[program.pid]
            rgb = self.screenshot(left, top, right - left, bottom - top)
            shots = [(x - fx, y - fy, w, h, frames.crop(rgb, right - left, x - left, y - top, w, h, 3))
                     for x, y, w, h in rects]
            high = after + self.max_tick(program)
            low = last[0] if last else max(after, 1)
            estimate = (self._estimate(low, high) if not last
                        else last[0] + int((last[0] - after) / last[1] * (elapsed - last[1])))
            tick = frames.find_tick(self.tool, self.bits, shots, fw, fh, estimate, low, high)
            return tick and (tick, elapsed)
        return self.retry(attempt, f"the screen shows no frame of the core at {fw}x{fh}")

    def _estimate(self, low, high):
        # An emulated exe makes a few ticks a second, not 60: searching down from
        # the most it could have made would render thousands of frames first.
        return low if self.route[0] == "qemu" else high

    def wait_painted(self, rect):
        """Waits until the screen rectangle (x, y, w, h) shows more than one
        colour: under qemu the first frame comes long after the window."""
        def painted():
            rgb = self.screenshot(*rect)
            return rgb != rgb[:3] * (rect[2] * rect[3])
        self.poll(painted, f"the window on {rect} shows only its background", seconds=20)

    def check_frame(self, program, client, after=0):
        """The client area shows, pixel for pixel, the core's frame of some
        tick (from after on: see shown_tick); returns the tick."""
        w, h = client[2:]
        self.wait_painted(client)
        tick = self.shown_tick(program, client, after=after)[0]
        print(f"the client area equals the frame of tick {tick} at {w}x{h}")
        return tick

    def cover_screen(self, exe, w, h):
        """Starts the window program and makes it cover the w x h screen
        (Escape); returns the program and the Linux process that runs its code."""
        program = self.start(exe)
        self.wait_state(lambda st: True, 'no window "Mandelbrot Set" appeared', program, seconds=120)
        worker = self.worker(exe)
        self.focus_key(self.find_window("^Mandelbrot Set$"), "Escape")
        self.wait_state(lambda st: st["client"] == (0, 0, w, h), f"Escape did not give a {w}x{h} client area", program)
        return program, worker

    def saver_settings(self, **values):
        """Leaves the screen saver's settings in this run's prefix with these
        values alone: a number is a REG_DWORD, else (type, data) as reg add
        takes them. The prefix outlives the run, and every /s stores where it
        stopped, which the next /s starts from unless told otherwise."""
        self.run(WINE, "reg", "delete", SAVER_KEY, "/f", deadline=self.deadline(30), stderr=subprocess.DEVNULL)
        for name, value in values.items():
            kind, data = value if isinstance(value, tuple) else ("REG_DWORD", value)
            self.run(WINE, "reg", "add", SAVER_KEY, "/v", name, "/t", kind, "/d", str(data), "/f",
                     deadline=self.deadline(30), what=f"reg add {name}")

    def stored_saver_settings(self):
        """The screen saver's values in the registry: {name: (type, data)}."""
        out = self.run(WINE, "reg", "query", SAVER_KEY, deadline=self.deadline(30), stderr=subprocess.DEVNULL)
        return {w[0]: (w[1], w[2]) for w in (line.split() for line in out.splitlines())
                if len(w) == 3 and w[1].startswith("REG_")}

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
