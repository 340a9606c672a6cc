#!/usr/bin/env python3
"""The screen saver's checks under Wine, on wine_driver.

  saver_checks.py run win64|win32 DEPTH SCR PROBE TOOL
  saver_checks.py monitors win64|win32 SCR PROBE TOOL
  saver_checks.py preview win64|win32 SCR PROBE TOOL
  saver_checks.py display win64|win32 SCR PROBE TOOL
  saver_checks.py soak win64|win32 SCR PROBE TOOL
  saver_checks.py tick-rate win64|win32 SCR EXE PROBE TOOL [SECONDS=40]   figures only

Exit code 0 passed, 1 failed (the reason on stderr), 77 skipped. PROBE is the
64-bit window-probe.exe, TOOL the host build's frame tool.
"""
import os
import sys
import time

import wine_checks as wc
import wine_driver as wd
from wine_driver import Session, Skip, fail

WS_POPUP, WS_CAPTION, WS_EX_TOPMOST = 0x80000000, 0x00C00000, 0x8


def screens(s):
    """The saver's windows as (left, top, right, bottom, style, exstyle), left to right."""
    found = []
    for line in s.probe("screens").split("\n"):
        w = line.split()
        if w and w[0] == "screen":
            found.append(tuple(map(int, w[1:5])) + (int(w[6], 16), int(w[8], 16)))
    return sorted(found)


def wait_screens(s, rects):
    """Waits until the saver shows a borderless topmost window on each of rects."""
    def shown():
        found = screens(s)
        return [w[:4] for w in found] == rects and all(
            w[4] & (WS_POPUP | WS_CAPTION) == WS_POPUP and w[5] & WS_EX_TOPMOST for w in found)
    s.poll(shown, f"the saver did not show borderless topmost windows on {rects}; it shows {screens(s)}", seconds=20)


def ends(s, program, what, seconds=2):
    """The saver ended within the seconds (scaled by the machine's pace) with exit code 0."""
    try:
        code = program.wait(timeout=s.deadline(seconds))
    except wd.subprocess.TimeoutExpired:
        fail(f"{what} did not end the saver within {s.deadline(seconds):.1f} s")
    if code != 0:
        fail(f"the saver exited with code {code} after {what}")
    print(f"{what}: ended, exit code 0")


def native_only(arch, depth="24"):
    if arch == "win32" and wd.route()[0] == "qemu" and depth != "24":
        raise Skip("32-bit Wine runs under qemu here: only depth 24 runs")


def run(arch, depth, scr, probe, tool):
    """/s on a 640 x 480 screen: one borderless topmost window covering it,
    showing the core's frames; a mouse move, a key, a click and the wheel each
    end it with exit code 0."""
    native_only(arch, depth)
    with Session(arch, [f"640x480x{depth}"], probe=probe, tool=tool) as s:
        s.xdotool("mousemove", "320", "240")
        for action in (["mousemove", "300", "200"], ["key", "a"], ["click", "1"], ["click", "4"]):
            program = s.start(scr, "/s")
            wait_screens(s, [(0, 0, 640, 480)])
            if action[0] == "mousemove":  # once is enough for the frames
                wc.check_frame(s, program, (0, 0, 640, 480))
            s.alive(program, "before any input")
            if action[0] == "key":
                s.focus_key(s.find_window("^Mandelbrot Set$"), "a")
            else:
                s.xdotool(*action)
            ends(s, program, "xdotool " + " ".join(action))
            s.xdotool("mousemove", "320", "240")
    print(f"report: saver /s {arch} at depth {depth}: exact frames; move, key, click and wheel end it with exit code 0")


def bottom_rows_match(s, rgb, w, h, y, first, last):
    """The tick from first to last whose w x h frame equals the screenshot in
    its rows from y down, or None (wine_driver's match takes whole frames)."""
    masks = [bytes(v >> (8 - b) << (8 - b) for v in range(256)) for b in s.bits]
    want = [rgb[c::3].translate(masks[c]) for c in range(3)]
    cmd = [s.tool, "--size", f"{w}x{h}", "--from", str(first), "--ticks", str(last), "--raw"]
    with wd.subprocess.Popen(cmd, stdout=wd.subprocess.PIPE) as tool:
        for tick in range(first, last + 1):
            frame = tool.stdout.read(4 * w * h)[4 * w * y:]
            if all(frame[2 - c::4].translate(masks[c]) == want[c] for c in range(3)):
                tool.kill()
                return tick
    return None


def monitors(arch, scr, probe, tool):
    """/s on two monitors (one Xinerama desktop): a window on each, the size of
    its monitor, each showing the frame of its own size. Xvfb puts both heads
    at (0, 0), so the small one's window covers the top left of the large one,
    whose rows below it are checked."""
    native_only(arch)
    with Session(arch, ["640x480x24", "320x240x24"], probe=probe, tool=tool) as s:
        s.xdotool("mousemove", "100", "100")
        program = s.start(scr, "/s")
        wait_screens(s, [(0, 0, 320, 240), (0, 0, 640, 480)])
        wc.check_frame(s, program, (0, 0, 320, 240))
        for attempt in range(3):
            tick = bottom_rows_match(s, s.screenshot(0, 240, 640, 240), 640, 480, 240, 1, s.max_tick(program))
            if tick:
                break
        else:
            fail("the large monitor's window shows no frame of the core at 640x480 below the small one")
        print(f"the large monitor's rows 240 to 479 equal the frame of tick {tick} at 640x480")
        s.focus_key(s.find_window("^Mandelbrot Set$"), "space")
        ends(s, program, "a key")
    print(f"report: saver /s {arch} on two monitors: a window of each monitor's size, each with its exact frames")


def preview(arch, scr, probe, tool):
    """String 1, the name the system lists, is "Mandelbrot Set"; the manifest
    declares per-monitor DPI awareness; /p HWND: a
    child window of the parent's client size, ending with exit code 0 when the
    parent is destroyed; a missing, malformed or stale HWND ends at once; /c,
    no argument and an unknown switch show the note and end when it is closed."""
    native_only(arch)
    with Session(arch, ["640x480x24"], probe=probe, tool=tool) as s:
        name = s.probe("name", scr).strip()
        if name != "Mandelbrot Set":
            fail(f"string 1 of {scr}, the name the system lists, is {name!r}")
        # Per-monitor v2, and the older forms for the Windows before it.
        manifest = s.probe("manifest", scr)
        for wanted in (">PerMonitorV2, PerMonitor<", ">true/pm<"):
            if wanted not in manifest:
                fail(f"the manifest of {scr} does not declare {wanted[1:-1]}: {manifest}")
        parent_process = s.spawn([wd.WINE, probe, "parent", "152", "112"], stdout=wd.subprocess.PIPE, text=True)
        parent = parent_process.stdout.readline().strip()
        if not parent.isdigit():
            fail(f"window-probe parent printed {parent!r}")
        program = s.start(scr, "/p", parent)
        children = s.poll(lambda: s.probe("children", parent).split(), "no preview window appeared in the parent")
        if children[:3] != ["child", "152", "112"] or len(children) != 5:
            fail(f"the parent's children are {' '.join(children)}, not one child of 152 x 112")
        print(f"/p {parent}: {' '.join(children)}")
        s.alive(program, "while its parent is open")
        s.probe("close", parent)
        ends(s, program, "destroying the parent", seconds=10)
        parent_process.wait(timeout=s.deadline(10))

        stale = parent  # destroyed above
        for args in (["/p", "0"], ["/p", "abc"], ["/p", stale], ["/p"]):
            program = s.start(scr, *args)
            ends(s, program, "/p with the HWND " + args[1] if args[1:] else "/p without an HWND", seconds=10)
        for args in (["/c"], [], ["/x"], ["-C:" + stale]):
            program = s.start(scr, *args)
            note = s.find_window("^Mandelbrot Set$")
            s.alive(program, "while its note is open")
            s.focus_key(note, "Return")
            ends(s, program, f"closing the note of {' '.join(args) or 'no argument'}", seconds=10)
    print(f"report: saver /p, /c and other arguments {arch}: as expected, none hangs")


def display(arch, scr, probe, tool):
    """/s under Wine's virtual desktop of 1024 x 768, in a prefix of its own:
    another program changes the display to 1280 x 960, then 800 x 600, then
    back to 1280 x 960; each time the saver's one window covers the new
    screen with exact frames of its size, and a mouse move where only the
    larger screen reaches ends it with exit code 0."""
    native_only(arch)
    with Session(arch, ["1280x1024x24"], kind="desktop", probe=probe, tool=tool) as s:
        for key, value, data in ((r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
                                 (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "1024x768")):
            s.run(wd.WINE, "reg", "add", key, "/v", value, "/t", "REG_SZ", "/d", data, "/f",
                  deadline=s.deadline(60), what="reg add")
        # The desktop is made when Wine starts: after this prefix's processes have ended.
        s.run(wd.WINESERVER, "-w", deadline=s.deadline(60))
        s.xdotool("mousemove", "100", "100")
        program = s.start(scr, "/s")
        wait_screens(s, [(0, 0, 1024, 768)])
        for w, h in ((1280, 960), (800, 600), (1280, 960)):
            s.probe("display", str(w), str(h))
            wait_screens(s, [(0, 0, w, h)])
            s.alive(program, f"after the change to {w} x {h}")
            wc.check_frame(s, program, (0, 0, w, h))
        s.xdotool("mousemove", "1200", "900")
        ends(s, program, "a mouse move to (1200, 900)")
    print(f"report: saver display change {arch}: its window covers 1280x960, 800x600 and 1280x960 in turn, "
          f"each with exact frames of its size; a move in the grown area ends it")


def soak(arch, scr, probe, tool):
    """/s on an 800 x 600 screen while its resident memory is watched (as the
    window program's soak does); GDI and USER objects, where the platform
    counts them, do not grow, and elsewhere (Wine) the GDI table is exhausted
    (exhaust_gdi); WM_CLOSE ends it with exit code 0."""
    if arch == "win32" and wd.route()[0] != "native":
        raise Skip("32-bit Wine runs under qemu here: no soak")
    with Session(arch, ["800x600x24"], probe=probe, tool=tool) as s:
        s.xdotool("mousemove", "400", "300")
        program = s.start(scr, "/s")
        wait_screens(s, [(0, 0, 800, 600)])
        summary, resources = wc.watch_memory(s, program, s.worker(scr), (0, 0, 800, 600))
        # The saver's frames live in DIB sections kept for the windows' life: no margin.
        objects = wc.compare_gui_objects(s, resources, 0)
        wc.close(s, program)
    summary += "; " + (objects or exhaust_gdi(arch, scr, probe, tool))
    print(f"report: saver soak {arch}: {summary}; exit code 0")


def exhaust_gdi(arch, scr, probe, tool):
    """More paints, and more new frame sizes, than a process's GDI table holds
    (as measured in the probe's own process): a paint or a new frame that kept
    one object would fill it, and the window could then show no new frame. On
    a 160 x 120 screen, where a frame costs little more than its GDI calls."""
    with Session(arch, ["160x120x24"], probe=probe, tool=tool) as small:
        small.xdotool("mousemove", "80", "60")
        program = small.start(scr, "/s")
        wait_screens(small, [(0, 0, 160, 120)])
        worker = small.worker(scr)
        capacity = int(small.probe("gdi-capacity"))
        base = wc.rss(worker)
        began = time.monotonic()
        for command in ("paint", "resize"):
            small.probe(command, "1000")
            seconds = time.monotonic() - began
            small.run(wd.WINE, small.probe_exe, command, str(capacity), what=f"{capacity} of window-probe {command}",
                      deadline=4 * seconds * capacity / 1000 + small.deadline(20))
            began = time.monotonic()
        small.alive(program, f"during {capacity + 1000} paints and as many new frame sizes")
        if wc.rss(worker) > base + wc.BOUND_KIB:
            fail(f"resident memory grew from {base} KiB to {wc.rss(worker)} KiB during the paints and new sizes")
        wait_screens(small, [(0, 0, 160, 120)])
        before = wc.shown_tick(small, program, (0, 0, 160, 120))
        def newer():
            shown = wc.shown_tick(small, program, (0, 0, 160, 120), before)
            return shown[0] > before[0] and shown
        after = small.poll(newer, f"after the paints and new sizes the window stands still at tick {before[0]}")
        print(f"soak: {capacity + 1000} paints and as many new frame sizes at 160x120 (GDI table {capacity}); "
              f"then the frames of ticks {before[0]} and {after[0]}")
        wc.close(small, program)
        return f"{capacity + 1000} paints and new frame sizes each (GDI table {capacity}), then still new frames"


def tick_rate(arch, scr, exe, probe, tool, seconds="40"):
    """Ticks a second of the saver's /s and of the window program covering a
    1920 x 1080 screen, one after the other in the same run. Screenshots are
    matched against the frame tool's frames only after each program has ended."""
    seconds = int(seconds)
    with Session(arch, ["1920x1080x24"], probe=probe, tool=tool) as s:
        s.xdotool("mousemove", "960", "540")
        rates = []
        for name in ("saver", "window program"):
            if name == "saver":
                program = s.start(scr, "/s")
                wait_screens(s, [(0, 0, 1920, 1080)])
                worker = s.worker(scr)
            else:
                program, worker = wc.cover_screen(s, exe, 1920, 1080)
            shots = []
            for when in (seconds / 2, seconds):
                time.sleep(max(0.0, s.born[program.pid] + when - time.monotonic()))
                shots.append((time.monotonic() - s.born[program.pid], s.screenshot(0, 0, 1920, 1080),
                              wc.cpu_ticks(worker)))
            s.probe("close")
            s.wait_exit(program, f"WM_CLOSE did not end the {name}")
            ticks = []
            for elapsed, rgb, _ in shots:
                tick = s.find_tick(rgb, 1920, 1080, ticks[-1] * 2 if ticks else 1, ticks[-1] if ticks else 1,
                                   wd.max_tick(elapsed))
                if not tick:
                    fail(f"the {name}'s screenshot at {elapsed:.1f} s matched no tick")
                ticks.append(tick)
            (ta, _, ca), (tb, _, cb) = shots
            rate = (ticks[1] - ticks[0]) / (tb - ta)
            rates.append(rate)
            print(f"{name}: ticks {ticks[0]} at {ta:.1f} s and {ticks[1]} at {tb:.1f} s: {rate:.1f} ticks a second, "
                  f"{100 * (cb - ca) / os.sysconf('SC_CLK_TCK') / (tb - ta):.0f}% of a core")
        print(f"report: tick rate {arch} at 1920x1080: saver {rates[0]:.1f}/s, window program {rates[1]:.1f}/s, "
              f"{rates[0] / rates[1]:.2f}x on {os.cpu_count()} cores")


COMMANDS = {"run": run, "monitors": monitors, "preview": preview, "display": display, "soak": soak,
            "tick-rate": tick_rate}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    sys.exit(wd.main(COMMANDS[sys.argv[1]], *sys.argv[2:]))
