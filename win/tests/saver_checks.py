"""The screen saver as a user sees it, under Wine: each test_ function is a
scenario (see conftest.py for its fixtures and markers, and how CTest runs it)."""
import subprocess

import pytest

from wine import WINE, WINESERVER, fail, soak

# What ends /s: xdotool's words.
INPUTS = (("mousemove", "300", "200"), ("key", "a"), ("click", "1"), ("click", "4"))
CLICK = (("click", "1"),)
# Each a new frame (a DIB section) for the saver's window.
RESIZES = 1000


@pytest.fixture
def inputs(emulated):
    """Each input that must end the saver: under qemu the click alone (each
    start costs seconds there, and the 64-bit saver runs the same code)."""
    return CLICK if emulated else INPUTS


def saver_run(s, scr, inputs):
    """/s on the session's 640 x 480 screen: one borderless topmost window
    covering it, showing the core's frames; each of inputs ends it with exit
    code 0."""
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
    s.xdotool("mousemove", "100", "100")
    program = s.start(scr, "/s")
    s.wait_saver_windows([(0, 0, 320, 240), (0, 0, 640, 480)])
    s.check_frame(program, (0, 0, 320, 240))
    tick = s.shown_tick(program, (0, 240, 640, 240), frame=(640, 480, 240))[0]
    print(f"the large monitor's rows 240 to 479 equal the frame of tick {tick} at 640x480")
    s.focus_key(s.find_window("^Mandelbrot Set$"), "space")
    s.ends(program, "a key", seconds=2)
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
    print(f"report: saver /p {arch}: a child of the parent's size, ending with it")


@pytest.mark.e2e
@pytest.mark.not_under_qemu("each start costs seconds there; the saver's tests and the 64-bit saver cover these")
def test_saver_arguments(wine, arch, scr):
    """/p with a missing, malformed or stale HWND ends at once; /c, no argument
    and an unknown switch show the note and end when it is closed."""
    s = wine(arch, "640x480x24")
    parent_process = s.spawn([WINE, s.probe_exe, "parent", "152", "112"], stdout=subprocess.PIPE, text=True)
    stale = parent_process.stdout.readline().strip()
    s.probe("close", stale)
    parent_process.wait(timeout=s.deadline(10))
    for args in (["/p", "0"], ["/p", "abc"], ["/p", stale], ["/p"]):
        program = s.start(scr, *args)
        s.ends(program, "/p with the HWND " + args[1] if args[1:] else "/p without an HWND", seconds=10)
    for args in (["/c"], [], ["/x"], ["-C:" + stale]):
        program = s.start(scr, *args)
        note = s.find_window("^Mandelbrot Set$")
        s.alive(program, "while its note is open")
        s.focus_key(note, "Return")
        s.ends(program, f"closing the note of {' '.join(args) or 'no argument'}", seconds=10)
    print(f"report: saver /p, /c and other arguments {arch}: as expected, none hangs")


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
