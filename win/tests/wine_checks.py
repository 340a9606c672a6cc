#!/usr/bin/env python3
"""The window program's checks under Wine, on wine_driver.

  wine_checks.py run win64|win32 PROGRAM [ARG...]   CTest's emulator (win/tests/wine-run):
      runs the program on a 1024x768 screen; exits with its exit code
  wine_checks.py e2e win64|win32 DEPTH full|short EXE PROBE TOOL
  wine_checks.py soak win64|win32 EXE PROBE TOOL
  wine_checks.py tick-rate EXE PROBE TOOL [SECONDS=80]   figures only
  wine_checks.py release ZIP PROBE TOOL
  wine_checks.py show EXE                  the window on $DISPLAY, until it is closed
  wine_checks.py picture WxHxD SECONDS PNG  the whole window, caption and all

Exit code 0 passed, 1 failed (the reason on stderr), 77 skipped. PROBE is the
64-bit window-probe.exe (it only asks the window system), TOOL the host build's
frame tool.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

import wine_driver as wd
from wine_driver import Session, Skip, fail

# A leak of 512 bytes a tick must raise the memory floor by more than BOUND_KIB
# between the two floors: they are LEAK_SPAN ticks apart.
BOUND_KIB, RUNAWAY_KIB, LEAK_SPAN = 1024, 65536, 2560


def run(arch, program, *args):
    with Session(arch) as s:
        if arch == "win32":
            print(f"report: win32 {os.path.basename(program)} under Wine: {s.route[0]} route ({s.route[1]})")
        sys.exit(s.start(program, *args).wait())


def client_fits(state, framed):
    """Framed: the client area lies inside the window's frame; borderless: it is the window."""
    left, top, right, bottom = state["window"]
    x, y, w, h = state["client"]
    if framed:
        return left < x and top < y and x + w < right and y + h < bottom
    return (x, y, x + w, y + h) == (left, top, right, bottom)


def check_frame(s, program, client):
    """The client area shows, pixel for pixel, the core's frame of some tick."""
    x, y, w, h = client
    # Under qemu the first frame comes long after the window.
    def painted():
        rgb = s.screenshot(x, y, w, h)
        return rgb != rgb[:3] * (w * h)
    s.poll(painted, "the client area shows only its background", seconds=20)
    print(f"the client area equals the frame of tick {shown_tick(s, program, client)[0]} at {w}x{h}")


def e2e(arch, depth, scenario, exe, probe, tool):
    """The window as a user sees it, on a 640 x 480 screen: it opens framed and
    shows the core's frames; "full": it survives minimising, animates after
    restoring, Escape makes it borderless and topmost at (0, 0) with the
    screen's size and a second Escape brings the frame back there; Alt+F4
    ends it with exit code 0. Under qemu (minutes a run) only the short
    scenario at depth 24 runs."""
    if arch == "win32" and wd.route()[0] == "qemu":
        if depth != "24":
            raise Skip("32-bit Wine runs under qemu here: only the short scenario at depth 24 runs")
        scenario = "short"
    with Session(arch, [f"640x480x{depth}"], probe=probe, tool=tool) as s:
        began = time.monotonic()
        program = s.start(exe)
        state = s.wait_state(lambda st: True, 'no window "Mandelbrot Set" appeared', program, seconds=120)
        print("opened:", state["line"])
        if arch == "win32" and s.route[0] == "native":
            worker = s.worker(exe)
            with open(f"/proc/{worker}/maps") as maps:
                if "qemu" in maps.read():
                    fail("the native route ran the exe under qemu")
            print(f"the exe runs in process {worker} of {os.readlink(f'/proc/{worker}/exe')}, no qemu in its maps")
        if state["depth"] != (16 if depth == "16" else 32):
            fail(f"Wine does not see a {depth}-bit screen: {state['line']}")
        framed = state["style"]
        if framed & 0x00CF0000 != 0x00CF0000 or not client_fits(state, True):
            fail(f"the window is not framed: {state['line']}")
        client = state["client"]
        check_frame(s, program, client)

        if scenario == "full":
            s.probe("minimize")
            s.wait_state(lambda st: st["iconic"] == 1, "the window did not minimise", program)
            time.sleep(1)
            s.alive(program, "while minimised")
            s.probe("restore")
            s.wait_state(lambda st: st["client"] == client and st["iconic"] == 0,
                         "the window did not come back at its size", program)
            first = s.screenshot(*client)
            s.poll(lambda: s.screenshot(*client) != first, "the picture stands still after restoring")
            s.alive(program, "after restoring")
            print("minimised, restored, still animating")

            s.focus_key(s.find_window("^Mandelbrot Set$"), "Escape")
            state = s.wait_state(lambda st: st["window"] == (0, 0, 640, 480) and st["style"] & ~0x04000000 == 0x50000000
                                 and st["exstyle"] & 8 and client_fits(st, False),
                                 "the first Escape did not make the window borderless and topmost at (0, 0), 640 x 480",
                                 program)
            print("after the first Escape:", state["line"])
            # No refocusing: the second Escape goes to wherever the focus is now.
            s.xdotool("key", "Escape")
            state = s.wait_state(lambda st: st["window"] == (0, 0, 640, 480) and st["style"] == framed
                                 and st["exstyle"] & 8 and client_fits(st, True),
                                 "the second Escape did not bring the frame back, topmost at (0, 0), 640 x 480",
                                 program)
            print("after the second Escape:", state["line"])

        s.focus_key(s.find_window("^Mandelbrot Set$"), "alt+F4")
        ends(s, program, "Alt+F4")
        label = arch if arch == "win64" else f"win32 ({s.route[0]})"
        print(f"report: e2e {label}: {scenario} scenario passed at depth {depth} in {time.monotonic() - began:.0f} s")


def cover_screen(s, exe, w, h):
    """Starts the exe and makes it cover the w x h screen (Escape); returns the
    program and the Linux process that runs its code."""
    program = s.start(exe)
    s.wait_state(lambda st: True, 'no window "Mandelbrot Set" appeared', program, seconds=120)
    worker = s.worker(exe)
    s.focus_key(s.find_window("^Mandelbrot Set$"), "Escape")
    s.wait_state(lambda st: st["client"] == (0, 0, w, h), f"Escape did not give a {w}x{h} client area", program)
    return program, worker


def ends(s, program, how):
    """The program ends after how (Alt+F4, WM_CLOSE) with exit code 0."""
    code = s.wait_exit(program, f"{how} did not end the program")
    if code != 0:
        fail(f"the program exited with code {code} after {how}")


def close(s, program):
    s.probe("close")
    ends(s, program, "WM_CLOSE")


def shown_tick(s, program, rect, last=None):
    """The tick whose frame the rectangle (x, y, w, h) shows, searched near the
    count that the last one, (tick, seconds since the start), predicts; and when."""
    for attempt in range(3):  # a screenshot can catch a paint halfway
        elapsed = time.monotonic() - s.born[program.pid]
        rgb = s.screenshot(*rect)
        high = s.max_tick(program)
        estimate = high if not last else last[0] + int(last[0] / last[1] * (elapsed - last[1]))
        tick = s.find_tick(rgb, *rect[2:], estimate, last[0] if last else 1, high)
        if tick:
            return tick, elapsed
        print(f"screenshot {attempt + 1} matched no tick", file=sys.stderr)
    fail(f"the window shows no frame of the core at {rect[2]}x{rect[3]}")


def rss(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read())[1])


def cpu_ticks(pid):
    """The processor time the process has used, user and system, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))


def watch_memory(s, program, worker, rect):
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
        s.alive(program, f"after {len(samples) + 1} s")
        samples.append(rss(worker))
        if len(samples) == 10:
            resources = s.run(wd.WINE, s.probe_exe, "resources", deadline=s.deadline(30))
        elif len(samples) == 14:
            early = shown_tick(s, program, rect)
        elif early and end is None and len(samples) % 5 == 4:
            previous, late = late or early, shown_tick(s, program, rect, late or early)
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


def compare_gui_objects(s, resources, gdi_margin):
    """Where the platform counts them (resources is the probe's line from
    earlier), GDI objects may not have grown by more than gdi_margin, nor USER
    objects at all; returns what was seen, or None where nothing is counted."""
    if not resources.startswith("gdi "):
        return None
    gdi0, user0 = map(int, resources.split()[1::2])
    gdi1, user1 = map(int, s.probe("resources").split()[1::2])
    if gdi1 > gdi0 + gdi_margin or user1 > user0:
        fail(f"GDI objects went from {gdi0} to {gdi1}, USER objects from {user0} to {user1}")
    return f"GDI {gdi0} -> {gdi1}, USER {user0} -> {user1}"


def soak(arch, exe, probe, tool):
    """The exe covers an 800 x 600 screen while its resident memory is watched
    (watch_memory). Where the platform does not count GDI objects, it is then
    made to paint more times than a process's GDI table holds, and must still
    show new frames. It must run all along and exit 0 on WM_CLOSE."""
    if arch == "win32" and wd.route()[0] != "native":
        raise Skip("32-bit Wine runs under qemu here: no soak")
    with Session(arch, ["800x600x24"], probe=probe, tool=tool) as s:
        program, worker = cover_screen(s, exe, 800, 600)
        summary, resources = watch_memory(s, program, worker, (0, 0, 800, 600))
        # A paint holds its bitmap and memory DC while it runs, hence 2 more.
        objects = compare_gui_objects(s, resources, 2)
        if objects:
            summary += "; " + objects
        close(s, program)
    if not objects and arch == "win64" and wd.route()[0] == "native":
        # The paints take minutes; the 32-bit soak makes them (the same paint code).
        summary += "; GDI table exhausted by the 32-bit soak"
    elif not objects:
        summary += "; " + exhaust_gdi(arch, exe, probe, tool)
    print(f"report: soak {arch}: {summary}; exit code 0")


def exhaust_gdi(arch, exe, probe, tool):
    """Paints more times than a process's GDI table holds (as measured in the
    probe's own process): a paint that kept one object would fill it, and no
    later paint could show a frame. On a 160 x 120 screen, where a paint costs
    little more than its GDI calls."""
    with Session(arch, ["160x120x24"], probe=probe, tool=tool) as small:
        program, worker = cover_screen(small, exe, 160, 120)
        capacity = int(small.probe("gdi-capacity"))
        base = rss(worker)
        began = time.monotonic()
        small.probe("paint", "1000")
        seconds = time.monotonic() - began
        small.run(wd.WINE, small.probe_exe, "paint", str(capacity), what=f"{capacity} paints",
                  deadline=4 * seconds * capacity / 1000 + small.deadline(20))
        small.alive(program, f"during {capacity + 1000} paints")
        if rss(worker) > base + BOUND_KIB:
            fail(f"resident memory grew from {base} KiB to {rss(worker)} KiB during {capacity + 1000} paints")
        before = shown_tick(small, program, (0, 0, 160, 120))
        def newer():
            shown = shown_tick(small, program, (0, 0, 160, 120), before)
            return shown[0] > before[0] and shown
        after = small.poll(newer, f"after {capacity + 1000} paints the window stands still at tick {before[0]}")
        print(f"soak: {capacity + 1000} paints at 160x120 in {time.monotonic() - began:.0f} s "
              f"(GDI table {capacity}); then the frames of ticks {before[0]} and {after[0]}")
        close(small, program)
        return f"{capacity + 1000} paints (GDI table {capacity}), then still new frames of the core"


def tick_rate(exe, probe, tool, seconds="80"):
    """Ticks a second of the exe covering a 1920 x 1080 screen, as a user
    would see it. Screenshots at 4, 8, 16, ... s, at SECONDS and 5 s later are
    matched against the frame tool's frames only once the exe is closed, so
    that the search never takes a core from it."""
    seconds = int(seconds)
    with open(exe, "rb") as f:
        header = f.read(4096)
    machine = header[int.from_bytes(header[60:64], "little") + 4:][:2]
    arch = {b"\x64\x86": "win64", b"\x4c\x01": "win32"}.get(machine) or fail(f"{exe} is no x86 Windows exe")
    with Session(arch, ["1920x1080x24"], probe=probe, tool=tool) as s:
        program, worker = cover_screen(s, exe, 1920, 1080)
        covered = time.monotonic() - s.born[program.pid]
        at = [4]
        while at[-1] * 2 < seconds:
            at.append(at[-1] * 2)
        shots = []
        for when in at + [seconds, seconds + 5]:
            time.sleep(max(0.0, s.born[program.pid] + when - time.monotonic()))
            shots.append((time.monotonic() - s.born[program.pid], s.screenshot(0, 0, 1920, 1080),
                          cpu_ticks(worker)))
        close(s, program)
        print(f"{arch} ({s.route[0]}), 1920x1080 borderless from {covered:.2f} s after the start")
        last = (0, covered)
        ticks = []
        for elapsed, rgb, cpu in shots:
            estimate = last[0] + int(max(last[0], 1) / last[1] * (elapsed - last[1]))
            tick = s.find_tick(rgb, 1920, 1080, estimate, max(last[0], 1), wd.max_tick(elapsed))
            print(f"screenshot at {elapsed:6.2f} s: " + (f"tick {tick}" if tick else "matched no tick"))
            ticks.append(tick)
            last = (tick, elapsed) if tick else last
        if not ticks[-2] or not ticks[-1]:
            fail("a measured screenshot matched no tick")
        (ta, _, ca), (tb, _, cb) = shots[-2:]
        print(f"ticks per second from {ta:.2f} s to {tb:.2f} s: {(ticks[-1] - ticks[-2]) / (tb - ta):.1f}; "
              f"the exe had {100 * (cb - ca) / os.sysconf('SC_CLK_TCK') / (tb - ta):.0f}% of a core then")


def release(zip_path, probe, tool):
    """The release zip holds the two exes, the two screen savers, the readme
    and the licence; each exe, started from the unpacked folder, passes the
    short scenario, and each screen saver the /s checks."""
    if not os.path.exists(zip_path):
        fail(f"no {zip_path}: build it with cmake --build --preset win32 --target release")
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
        e2e("win64", "24", "short", os.path.join(folder, "mandelbrot64.exe"), probe, tool)
        e2e("win32", "24", "short", os.path.join(folder, "mandelbrot.exe"), probe, tool)
        import saver_checks
        saver_checks.run("win64", "24", os.path.join(folder, "mandelbrot64.scr"), probe, tool)
        saver_checks.run("win32", "24", os.path.join(folder, "mandelbrot.scr"), probe, tool)
    print("passed: both exes and both screen savers run from the unpacked zip")


def show(exe):
    with Session("win64", None) as s:
        s.start(exe).wait()


def picture(screen, seconds, png):
    """Runs the 64-bit exe for SECONDS and saves the whole window. The pictures'
    prefix tells Wine not to ask for window-manager decorations (Decorated = N),
    so Wine draws the caption itself, whose buttons are glyphs of Wine's Marlett
    font, which it finds only in the prefix's Fonts folder."""
    with Session("win64", [screen], kind="pictures") as s:
        fonts = os.path.join(s.env["WINEPREFIX"], "drive_c/windows/Fonts")
        if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            s.run(wd.WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                  "/d", "N", "/f", deadline=s.deadline(60), what="reg add")
            for font in os.listdir("/usr/share/wine/fonts"):
                shutil.copy(os.path.join("/usr/share/wine/fonts", font), fonts)
        program = s.start(os.path.join(wd.ROOT, "build/win64/win/mandelbrot.exe"))
        left, top, right, bottom = s.wait_state(lambda st: True, "no window appeared", program, seconds=120)["window"]
        time.sleep(float(seconds))
        subprocess.run(["import", "-window", "root", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                        "+repage", png], env=s.env, check=True)
        close(s, program)


COMMANDS = {"run": run, "e2e": e2e, "soak": soak, "tick-rate": tick_rate, "release": release,
            "show": show, "picture": picture}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(wd.main(COMMANDS[sys.argv[1]], *sys.argv[2:]))
