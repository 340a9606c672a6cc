"""The window program as a user sees it, under Wine: each test_ function is a
scenario (see conftest.py for its fixtures and markers, and how CTest runs it)."""
import os
import time

import pytest

from wine import fail, soak


def _client_fits(state, framed):
    """Framed: the client area lies inside the window's frame; borderless: it is the window."""
    left, top, right, bottom = state["window"]
    x, y, w, h = state["client"]
    if framed:
        return left < x and top < y and x + w < right and y + h < bottom
    return (x, y, x + w, y + h) == (left, top, right, bottom)


def minimise_and_restore(s, program, client, framed):
    """It survives minimising, and animates after restoring at its size."""
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


def escape_twice(s, program, client, framed):
    """Escape makes it borderless and topmost at (0, 0) with the screen's size,
    and a second Escape brings the frame back there."""
    s.focus_key(s.find_window("^Mandelbrot Set$"), "Escape")
    state = s.wait_state(lambda st: st["window"] == (0, 0, 640, 480) and st["style"] & ~0x04000000 == 0x50000000
                         and st["exstyle"] & 8 and _client_fits(st, False),
                         "the first Escape did not make the window borderless and topmost at (0, 0), 640 x 480",
                         program)
    print("after the first Escape:", state["line"])
    # No refocusing: the second Escape goes to wherever the focus is now.
    s.xdotool("key", "Escape")
    state = s.wait_state(lambda st: st["window"] == (0, 0, 640, 480) and st["style"] == framed
                         and st["exstyle"] & 8 and _client_fits(st, True),
                         "the second Escape did not bring the frame back, topmost at (0, 0), 640 x 480",
                         program)
    print("after the second Escape:", state["line"])


# What the window goes through between opening and Alt+F4.
FULL = (minimise_and_restore, escape_twice)
SHORT = ()


@pytest.fixture
def steps(arch, depth, emulated):
    """The full scenario for the shipped 32-bit exe at both depths and for the
    64-bit one at depth 24; the short one, opening and closing, for the 64-bit
    exe at depth 16 (the same code as at 24) and where the exe runs under qemu
    (the 64-bit exe runs the same code)."""
    return SHORT if emulated or (arch, depth) == ("win64", 16) else FULL


@pytest.fixture
def route_check(arch, emulated):
    """Where the 32-bit exe runs natively, that no qemu runs it."""
    def check(s, exe):
        worker = s.worker(exe)
        with open(f"/proc/{worker}/maps") as maps:
            if "qemu" in maps.read():
                fail("the native route ran the exe under qemu")
        print(f"the exe runs in process {worker} of {os.readlink(f'/proc/{worker}/exe')}, no qemu in its maps")
    return check if arch == "win32" and not emulated else lambda s, exe: None


def e2e(s, exe, depth, steps, route_check=lambda s, exe: None):
    """On the session's 640 x 480 screen of that depth the exe opens framed and
    shows the core's frames; after steps, Alt+F4 ends it with exit code 0.
    Returns how long it took."""
    began = time.monotonic()
    program = s.start(exe)
    state = s.wait_state(lambda st: True, 'no window "Mandelbrot Set" appeared', program, seconds=120)
    print("opened:", state["line"])
    route_check(s, exe)
    if state["depth"] != (16 if depth == 16 else 32):
        fail(f"Wine does not see a {depth}-bit screen: {state['line']}")
    framed = state["style"]
    if framed & 0x00CF0000 != 0x00CF0000 or not _client_fits(state, True):
        fail(f"the window is not framed: {state['line']}")
    client = state["client"]
    s.check_frame(program, client)
    for step in steps:
        step(s, program, client, framed)
    s.focus_key(s.find_window("^Mandelbrot Set$"), "alt+F4")
    s.ends(program, "Alt+F4")
    return time.monotonic() - began


@pytest.mark.e2e
@pytest.mark.parametrize("depth", [24, pytest.param(16, marks=pytest.mark.not_under_qemu(
    "the 32-bit exe runs only at depth 24 there; the 64-bit exe runs at depth 16"))], ids=lambda d: f"depth{d}")
def test_e2e(wine, arch, depth, steps, route_check, exe):
    """The window as a user sees it, on a 640 x 480 screen (e2e, with steps)."""
    s = wine(arch, f"640x480x{depth}")
    seconds = e2e(s, exe, depth, steps, route_check)
    label = arch if arch == "win64" else f"win32 ({s.route[0]})"
    done = ", ".join(step.__name__.replace("_", " ") for step in steps) or "opened and closed only"
    print(f"report: e2e {label} at depth {depth}: {done}; passed in {seconds:.0f} s")


@pytest.mark.soak
@pytest.mark.not_under_qemu("no soak of a program under qemu; the 64-bit soak runs the same code")
def test_soak(wine, arch, exe):
    """The exe covers an 800 x 600 screen while its resident memory is watched
    (soak.watch_memory); its GDI objects may not grow over those thousands of
    paints, nor its USER objects, where the platform counts them. It must run
    all along and exit 0 on WM_CLOSE."""
    s = wine(arch, "800x600x24")
    program, worker = s.cover_screen(exe, 800, 600)
    summary, resources = soak.watch_memory(s, program, worker, (0, 0, 800, 600))
    # A paint holds its bitmap and memory DC while it runs, hence 2 more.
    summary += "; " + soak.compare_gui_objects(s, resources, 2)
    s.close(program)
    print(f"report: soak {arch}: {summary}; exit code 0")
