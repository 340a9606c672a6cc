#!/usr/bin/env python3
"""The screen saver's checks under Wine, on wine_driver: each public function is a
scenario, run as `saver_checks.py NAME ARCH ARGS...` (CMake: add_wine_check).
Exit code 0 passed, 1 failed (the reason on stderr), 77 skipped."""
import sys

import wine_driver as wd
from wine_driver import Session, Skip, fail


def run(arch, depth, scr):
    """/s on a 640 x 480 screen: one borderless topmost window covering it,
    showing the core's frames; a mouse move, a key and a click each end it
    with exit code 0. Under qemu only depth 24 and the click run: the
    rest is the same code as the 64-bit saver's."""
    actions = [["mousemove", "300", "200"], ["key", "a"], ["click", "1"]]
    if wd.emulated(arch):
        if depth != "24":
            raise Skip("32-bit Wine runs under qemu here: only depth 24 runs")
        actions = actions[2:]
    with Session(arch, [f"640x480x{depth}"]) as s:
        s.xdotool("mousemove", "320", "240")
        for action in actions:
            program = s.start(scr, "/s")
            s.wait_saver_windows([(0, 0, 640, 480)])
            if action is actions[0]:  # once is enough for the frames
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
    print(f"report: saver /s {arch} at depth {depth}: exact frames; "
          f"{', '.join(a[0] for a in actions)} end it with exit code 0")


def monitors(arch, scr):
    """/s on two monitors (one Xinerama desktop): a window on each, the size of
    its monitor, each showing the frame of its own size. Xvfb puts both heads
    at (0, 0), so the small one's window covers the top left of the large one,
    whose rows below it are checked. Not under qemu: the 64-bit saver runs the
    same code, and the 32-bit one's frames are checked by run."""
    if wd.emulated(arch):
        raise Skip("32-bit Wine runs under qemu here: the 64-bit saver covers two monitors")
    with Session(arch, ["640x480x24", "320x240x24"]) as s:
        s.xdotool("mousemove", "100", "100")
        program = s.start(scr, "/s")
        s.wait_saver_windows([(0, 0, 320, 240), (0, 0, 640, 480)])
        s.check_frame(program, (0, 0, 320, 240))
        tick = s.shown_tick(program, (0, 240, 640, 240), frame=(640, 480, 240))[0]
        print(f"the large monitor's rows 240 to 479 equal the frame of tick {tick} at 640x480")
        s.focus_key(s.find_window("^Mandelbrot Set$"), "space")
        s.ends(program, "a key", seconds=2)
    print(f"report: saver /s {arch} on two monitors: a window of each monitor's size, each with its exact frames")


def preview(arch, scr):
    """String 1, the name the system lists, is "Mandelbrot Set"; /p HWND: a
    child window of the parent's client size, ending with exit code 0 when the
    parent is destroyed; a missing, malformed or stale HWND ends at once; /c,
    no argument and an unknown switch show the note and end when it is closed.
    Under qemu only the name and the child: the saver's tests and the 64-bit
    saver cover the rest, each start costs seconds there."""
    with Session(arch, ["640x480x24"]) as s:
        name = s.probe("name", scr).strip()
        if name != "Mandelbrot Set":
            fail(f"string 1 of {scr}, the name the system lists, is {name!r}")
        parent_process = s.spawn([wd.WINE, s.probe_exe, "parent", "152", "112"], stdout=wd.subprocess.PIPE, text=True)
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
        if wd.emulated(arch):
            print(f"report: saver /p {arch}: a child of the parent's size, ending with it (qemu: the rest not run)")
            return

        stale = parent  # destroyed above
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


def soak(arch, scr):
    """/s on an 800 x 600 screen while its resident memory is watched (as the
    window program's soak does); GDI and USER objects, where the platform
    counts them, do not grow; WM_CLOSE ends it with exit code 0."""
    if wd.emulated(arch):
        raise Skip("32-bit Wine runs under qemu here: no soak")
    with Session(arch, ["800x600x24"]) as s:
        s.xdotool("mousemove", "400", "300")
        program = s.start(scr, "/s")
        s.wait_saver_windows([(0, 0, 800, 600)])
        summary, resources = s.watch_memory(program, s.worker(scr), (0, 0, 800, 600))
        # The saver's frames live in DIB sections kept for the windows' life: no margin.
        objects = s.compare_gui_objects(resources, 0)
        summary += "; " + (objects or "the platform counts no GDI objects here")
        s.close(program)
    print(f"report: saver soak {arch}: {summary}; exit code 0")


if __name__ == "__main__":
    sys.exit(wd.main())
