#!/usr/bin/env python3
"""The window program's checks under Wine, on wine_driver: each public function is a
scenario, run as `window_checks.py NAME ARCH ARGS...` (CMake: add_wine_check).
Exit code 0 passed, 1 failed (the reason on stderr), 77 skipped."""
import os
import sys
import time

import wine_driver as wd
from wine_driver import Session, Skip, fail


def _client_fits(state, framed):
    """Framed: the client area lies inside the window's frame; borderless: it is the window."""
    left, top, right, bottom = state["window"]
    x, y, w, h = state["client"]
    if framed:
        return left < x and top < y and x + w < right and y + h < bottom
    return (x, y, x + w, y + h) == (left, top, right, bottom)


def e2e(arch, depth, scenario, exe):
    """The window as a user sees it, on a 640 x 480 screen: it opens framed and
    shows the core's frames; "full": it survives minimising, animates after
    restoring, Escape makes it borderless and topmost at (0, 0) with the
    screen's size and a second Escape brings the frame back there; Alt+F4
    ends it with exit code 0. Under qemu only the short scenario at depth 24
    runs: the rest is the same code as the 64-bit exe's."""
    if wd.emulated(arch):
        if depth != "24":
            raise Skip("32-bit Wine runs under qemu here: only the short scenario at depth 24 runs")
        scenario = "short"
    with Session(arch, [f"640x480x{depth}"]) as s:
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
        if framed & 0x00CF0000 != 0x00CF0000 or not _client_fits(state, True):
            fail(f"the window is not framed: {state['line']}")
        client = state["client"]
        s.check_frame(program, client)

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

        s.focus_key(s.find_window("^Mandelbrot Set$"), "alt+F4")
        s.ends(program, "Alt+F4")
        label = arch if arch == "win64" else f"win32 ({s.route[0]})"
        print(f"report: e2e {label}: {scenario} scenario passed at depth {depth} in {time.monotonic() - began:.0f} s")


def soak(arch, exe):
    """The exe covers an 800 x 600 screen while its resident memory is watched
    (watch_memory); its GDI objects may not grow over those thousands of
    paints, nor its USER objects, where the platform counts them. It must run
    all along and exit 0 on WM_CLOSE."""
    if wd.emulated(arch):
        raise Skip("32-bit Wine runs under qemu here: no soak")
    with Session(arch, ["800x600x24"]) as s:
        program, worker = s.cover_screen(exe, 800, 600)
        summary, resources = s.watch_memory(program, worker, (0, 0, 800, 600))
        # A paint holds its bitmap and memory DC while it runs, hence 2 more.
        summary += "; " + s.compare_gui_objects(resources, 2)
        s.close(program)
    print(f"report: soak {arch}: {summary}; exit code 0")


if __name__ == "__main__":
    sys.exit(wd.main())
