"""The screen saver as a user sees it, under Wine: each test_ function is a
scenario (see conftest.py for its fixtures and markers, and how CTest runs it)."""
import os
import signal
import subprocess

import pytest

from wine import WINE, WINESERVER, fail, soak

# What ends /s: xdotool's words.
INPUTS = (("mousemove", "300", "200"), ("key", "a"), ("click", "1"), ("click", "4"))
CLICK = (("click", "1"),)
# Each a new frame (a DIB section) for the saver's window.
RESIZES = 1000
# Two monitors side by side, of different sizes (see the wine fixture's heads):
# as (x, y, w, h), and as the saver's windows, (left, top, right, bottom).
HEADS = "640x480+0+0,320x240+640+0"
SIDE_BY_SIDE = [(0, 0, 640, 480), (640, 0, 320, 240)]
SIDE_BY_SIDE_WINDOWS = [(0, 0, 640, 480), (640, 0, 960, 240)]


def start_saver(s, scr, windows):
    """Starts /s with the pointer still; returns it once it shows its windows."""
    s.xdotool("mousemove", "100", "100")
    program = s.start(scr, "/s")
    s.wait_saver_windows(windows)
    return program


def end_saver(s, program):
    s.focus_key(s.find_window("^Mandelbrot Set$"), "space")
    s.ends(program, "a key", seconds=2)


@pytest.fixture
def inputs(emulated):
    """Each input that must end the saver: under qemu the click alone (each
    start costs seconds there, and the 64-bit saver runs the same code)."""
    return CLICK if emulated else INPUTS


def saver_run(s, scr, inputs):
    """/s on the session's 640 x 480 screen: one borderless topmost window
    covering it, showing the core's frames; each of inputs ends it with exit
    code 0."""
    s.saver_settings()
    s.xdotool("mousemove", "320", "240")
    for n, action in enumerate(inputs):
        program = s.start(scr, "/s")
        s.wait_saver_windows([(0, 0, 640, 480)])
        if n == 0:  # once is enough for the frames
            s.check_frame(program, (0, 0, 640, 480))
        s.alive(program, "before any input")
        if action[0] == "key":
            s.focus_key(s.find_window("^Mandelbrot Set$"), "a")
        elif action[0] == "mousemove":
            # The saver takes the first move it sees for where the pointer
            # was (the system sends one when a window appears, which can
            # come late), and moves that come while it renders arrive as
            # one. So if this move does not end it, it becomes that first
            # move once the saver has painted twice (input goes before
            # paints), and a second one must.
            s.xdotool(*action)
            for _ in range(2):
                shown = s.screenshot(0, 0, 640, 480)
                s.poll(lambda: program.poll() is not None or s.screenshot(0, 0, 640, 480) != shown,
                       "the saver's picture stands still after a mouse move")
            if program.poll() is None:
                s.xdotool("mousemove", "280", "180")
        else:
            s.xdotool(*action)
        s.ends(program, "xdotool " + " ".join(action), seconds=2)
        s.xdotool("mousemove", "320", "240")


@pytest.mark.e2e
@pytest.mark.parametrize("depth", [24, pytest.param(16, marks=pytest.mark.not_under_qemu(
    "the 32-bit saver runs only at depth 24 there; the 64-bit saver runs at depth 16"))], ids=lambda d: f"depth{d}")
def test_saver_run(wine, arch, depth, inputs, scr):
    """/s on a 640 x 480 screen (saver_run): exact frames, and a mouse move, a
    key, a click and the wheel each end it."""
    saver_run(wine(arch, f"640x480x{depth}"), scr, inputs)
    print(f"report: saver /s {arch} at depth {depth}: exact frames; "
          f"{', '.join(' '.join(a[:2]) for a in inputs)} end it with exit code 0")


@pytest.mark.e2e
@pytest.mark.not_under_qemu("the 64-bit saver covers two monitors with the same code")
def test_saver_monitors(wine, arch, scr):
    """/s on two monitors (one Xinerama desktop): a window on each, the size of
    its monitor, each showing the frame of its own size. Xvfb puts both heads
    at (0, 0), so the small one's window covers the top left of the large one,
    whose rows below it are checked."""
    s = wine(arch, "640x480x24", "320x240x24")
    s.saver_settings()
    program = start_saver(s, scr, [(0, 0, 320, 240), (0, 0, 640, 480)])
    s.check_frame(program, (0, 0, 320, 240))
    tick = s.shown_tick(program, (0, 240, 640, 240), frame=(640, 480, 0, 0))[0]
    print(f"the large monitor's rows 240 to 479 equal the frame of tick {tick} at 640x480")
    end_saver(s, program)
    print(f"report: saver /s {arch} on two monitors: a window of each monitor's size, each with its exact frames")


@pytest.mark.e2e
def test_saver_preview(wine, arch, scr):
    """String 1, the name the system lists, is "Mandelbrot Set"; the manifest
    declares per-monitor DPI awareness; /p HWND: a child window of the
    parent's client size, ending with exit code 0 when the parent is destroyed."""
    s = wine(arch, "640x480x24")
    name = s.probe("name", scr).strip()
    if name != "Mandelbrot Set":
        fail(f"string 1 of {scr}, the name the system lists, is {name!r}")
    # Per-monitor v2, and the older forms for the Windows before it.
    manifest = s.probe("manifest", scr)
    for wanted in (">PerMonitorV2, PerMonitor<", ">true/pm<"):
        if wanted not in manifest:
            fail(f"the manifest of {scr} does not declare {wanted[1:-1]}: {manifest}")
    parent_process = s.spawn([WINE, s.probe_exe, "parent", "152", "112"], stdout=subprocess.PIPE, text=True)
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
    s.ends(program, "destroying the parent", seconds=10)
    parent_process.wait(timeout=s.deadline(10))
    parent_process = s.spawn([WINE, s.probe_exe, "parent", "152", "112"], stdout=subprocess.PIPE, text=True)
    parent = parent_process.stdout.readline().strip()
    program = s.start(scr, "/p", parent)
    s.poll(lambda: s.probe("children", parent).split(), "no preview window appeared in the second parent")
    os.killpg(parent_process.pid, signal.SIGKILL)
    s.ends(program, "killing the parent's process", seconds=10)
    print(f"report: saver /p {arch}: a child of the parent's size, ending with it and with its process")


@pytest.mark.e2e
@pytest.mark.not_under_qemu("each start costs seconds there; the saver's tests and the 64-bit saver cover these")
def test_saver_arguments(wine, arch, scr):
    """/p with a missing, malformed or stale HWND ends at once; /c, /c:HWND, no
    argument and an unknown switch open the settings dialog: Escape (Cancel)
    stores nothing, Return (OK) stores every setting."""
    s = wine(arch, "640x480x24")
    parent_process = s.spawn([WINE, s.probe_exe, "parent", "152", "112"], stdout=subprocess.PIPE, text=True)
    stale = parent_process.stdout.readline().strip()
    s.probe("close", stale)
    parent_process.wait(timeout=s.deadline(10))
    for args in (["/p", "0"], ["/p", "abc"], ["/p", stale], ["/p"]):
        program = s.start(scr, *args)
        s.ends(program, "/p with the HWND " + args[1] if args[1:] else "/p without an HWND", seconds=10)
    for args, key, stored in ((["/c"], "Escape", set()), (["-C:" + stale], "Escape", set()), (["/x"], "Escape", set()),
                              ([], "Return", {"Monitors", "Start", "HalfRateOnBattery"})):
        s.saver_settings()
        program = s.start(scr, *args)
        dialog = s.find_window("^Mandelbrot Set Settings$")
        s.alive(program, "while its settings dialog is open")
        s.focus_key(dialog, key)
        what = ' '.join(args) or 'no argument'
        s.ends(program, f"{key} in the settings dialog of {what}", seconds=10)
        left = s.stored_saver_settings()
        if set(left) != stored:
            fail(f"{key} in the dialog of {what} left the values {left}, not {sorted(stored)}")
    print(f"report: saver /p, /c and other arguments {arch}: as expected, none hangs; "
          f"Cancel stores nothing, OK the settings (Calm only once chosen)")


# The monitors settings and bad values in the registry: the platform-free code
# that reads them is the same in both builds, and the stand-in monitors are
# the 64-bit host's, so the 64-bit saver shows them.
@pytest.mark.e2e
@pytest.mark.parametrize("arch", ["win64"])
def test_saver_monitor_settings(wine, arch, scr):
    """Two monitors side by side, 640 x 480 and 320 x 240 (a 960 x 480
    desktop): with Monitors 1 each shows, from one screenshot, its own part of
    one 960 x 480 frame of one tick; with Monitors 2 the primary shows its own
    frames and the other is black."""
    s = wine(arch, "960x480x24", heads=HEADS)
    s.saver_settings(Monitors=1)
    program = start_saver(s, scr, SIDE_BY_SIDE_WINDOWS)
    s.wait_painted(SIDE_BY_SIDE[1])
    tick = s.shown_tick(program, SIDE_BY_SIDE, frame=(960, 480, 0, 0))[0]
    print(f"one zoom across both monitors: each shows its part of the 960x480 frame of tick {tick}")
    end_saver(s, program)
    s.saver_settings(Monitors=2)
    program = start_saver(s, scr, SIDE_BY_SIDE_WINDOWS)
    s.check_frame(program, SIDE_BY_SIDE[0])
    if s.screenshot(*SIDE_BY_SIDE[1]) != bytes(3 * 320 * 240):
        fail("with the primary monitor only, the other monitor is not black")
    end_saver(s, program)
    print(f"report: saver monitor settings {arch}: one zoom across two monitors side by side, each its exact part; "
          f"the primary alone with the other black")


@pytest.mark.e2e
@pytest.mark.parametrize("arch", ["win64"])
def test_saver_bad_settings(wine, arch, scr):
    """Values of another type, or out of range, give each setting its default:
    each monitor its own zoom, from the first tick."""
    s = wine(arch, "960x480x24", heads=HEADS)
    wrong_type = dict(Monitors=("REG_SZ", 1), Start=("REG_SZ", 2), HalfRateOnBattery=("REG_SZ", 0),
                      Calm=("REG_BINARY", "01000000"), Tick=("REG_SZ", 500000))
    out_of_range = dict(Monitors=3, Start=3, HalfRateOnBattery=2, Calm=2, Tick=0xFFFFFFFF)
    for what, values in (("of another type", wrong_type), ("out of range", out_of_range)):
        s.saver_settings(**values)
        program = start_saver(s, scr, SIDE_BY_SIDE_WINDOWS)
        for rect in SIDE_BY_SIDE:
            s.check_frame(program, rect)
        end_saver(s, program)
        print(f"values {what}: each monitor its own frames from the first tick")
    print(f"report: saver bad settings {arch}: values of another type or out of range give the defaults, exact frames")


@pytest.mark.e2e
@pytest.mark.parametrize("arch", ["win64"])
def test_saver_resumes(wine, arch, scr):
    """By default a run starts where the last one stopped: the tick stored when
    /s ends is past the last one it showed, and the next run's frames are of
    that tick on."""
    s = wine(arch, "640x480x24")
    screen = (0, 0, 640, 480)
    s.saver_settings()
    program = start_saver(s, scr, [screen])
    shown = s.check_frame(program, screen)
    end_saver(s, program)
    kind, data = s.stored_saver_settings().get("Tick", (None, None))
    if kind != "REG_DWORD" or int(data, 16) <= shown:
        fail(f"after showing tick {shown} the saver stored Tick {kind} {data}")
    stopped = int(data, 16)
    program = start_saver(s, scr, [screen])
    resumed = s.check_frame(program, screen, after=stopped)
    end_saver(s, program)
    print(f"report: saver resumes {arch}: the first run showed tick {shown} and stored {stopped}; "
          f"the second showed tick {resumed}")


@pytest.mark.e2e
@pytest.mark.not_under_qemu("the 64-bit saver follows the display changes with the same code")
def test_saver_display(wine, arch, scr):
    """/s under Wine's virtual desktop of 1024 x 768, in a prefix of its own:
    another program changes the display to 1280 x 960, then 800 x 600, then
    back to 1280 x 960; each time the saver's one window covers the new
    screen with exact frames of its size, and a mouse move where only the
    larger screen reaches ends it with exit code 0."""
    s = wine(arch, "1280x1024x24", kind="desktop")
    for key, value, data in ((r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
                             (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "1024x768")):
        s.run(WINE, "reg", "add", key, "/v", value, "/t", "REG_SZ", "/d", data, "/f",
              deadline=s.deadline(60), what="reg add")
    # The desktop is made when Wine starts: after this prefix's processes have ended.
    s.run(WINESERVER, "-w", deadline=s.deadline(60))
    s.saver_settings()
    s.xdotool("mousemove", "100", "100")
    program = s.start(scr, "/s")
    s.wait_saver_windows([(0, 0, 1024, 768)])
    for w, h in ((1280, 960), (800, 600), (1280, 960)):
        s.probe("display", str(w), str(h))
        s.wait_saver_windows([(0, 0, w, h)])
        s.alive(program, f"after the change to {w} x {h}")
        s.check_frame(program, (0, 0, w, h))
    s.xdotool("mousemove", "1200", "900")
    s.ends(program, "a mouse move to (1200, 900)", seconds=2)
    print(f"report: saver display change {arch}: its window covers 1280x960, 800x600 and 1280x960 in turn, "
          f"each with exact frames of its size; a move in the grown area ends it")


@pytest.mark.soak
@pytest.mark.not_under_qemu("no soak of a program under qemu; the 64-bit soak runs the same code")
def test_saver_soak(wine, arch, scr):
    """/s on an 800 x 600 screen while its resident memory is watched (as the
    window program's soak does), then RESIZES new sizes of its window; its GDI
    objects may not grow over those paints and new frames, nor its USER
    objects where the platform counts them; it then still shows newer frames,
    and WM_CLOSE ends it with exit code 0."""
    screen = (0, 0, 800, 600)
    s = wine(arch, "800x600x24")
    s.saver_settings()
    s.xdotool("mousemove", "400", "300")
    program = s.start(scr, "/s")
    s.wait_saver_windows([screen])
    summary, resources = soak.watch_memory(s, program, s.worker(scr), screen)
    before = s.shown_tick(program, screen)
    s.probe("resize", str(RESIZES))
    s.wait_saver_windows([screen])
    s.alive(program, f"after {RESIZES} new sizes")
    # The saver's frames live in DIB sections kept for the windows' life: no margin.
    summary += f"; {RESIZES} new sizes; " + soak.compare_gui_objects(s, resources, 0)

    def newer():
        shown = s.shown_tick(program, screen, before)
        return shown[0] > before[0] and shown
    after = s.poll(newer, f"after {RESIZES} new sizes the window stands still at tick {before[0]}")
    s.close(program)
    print(f"report: saver soak {arch}: {summary}; then the frames of ticks {before[0]} and {after[0]}; exit code 0")
