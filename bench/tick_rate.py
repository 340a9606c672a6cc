#!/usr/bin/env python3
"""Ticks a second of the Windows programs under Wine, covering a 1920 x 1080
screen, as a user would see them: figures only, no pass or fail.

  bench/tick_rate.py window win64|win32 EXE [SECONDS=80]
  bench/tick_rate.py saver win64|win32 SCR EXE [SECONDS=40]   the saver, then the window program

Needs the host preset's frame tool and the win64 preset's window-probe.exe.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "tests"))
import wine_driver as wd  # noqa: E402
from wine_driver import Session, fail  # noqa: E402


def _rate(s, name, program, worker, at):
    """Screenshots at the seconds `at` after the start, matched against the
    frame tool's frames only once the program is closed, so that the search
    never takes a core from it; prints each and returns the ticks a second
    between the last two, and the share of a core the program had then."""
    shots = []
    for when in at:
        time.sleep(max(0.0, s.born[program.pid] + when - time.monotonic()))
        shots.append((time.monotonic() - s.born[program.pid], s.screenshot(0, 0, 1920, 1080), wd.cpu_ticks(worker)))
    s.close(program)
    last, ticks = (0, 1.0), []
    for elapsed, rgb, _ in shots:
        estimate = last[0] + int(max(last[0], 1) / last[1] * (elapsed - last[1]))
        tick = s.find_tick(rgb, 1920, 1080, estimate, max(last[0], 1), wd.max_tick(elapsed))
        print(f"{name}: screenshot at {elapsed:6.2f} s: " + (f"tick {tick}" if tick else "matched no tick"))
        ticks.append(tick)
        last = (tick, elapsed) if tick else last
    if not ticks[-2] or not ticks[-1]:
        fail(f"a measured screenshot of the {name} matched no tick")
    (ta, _, ca), (tb, _, cb) = shots[-2:]
    return (ticks[-1] - ticks[-2]) / (tb - ta), 100 * (cb - ca) / os.sysconf("SC_CLK_TCK") / (tb - ta)


def window(arch, exe, seconds="80"):
    """The window program: screenshots at 4, 8, 16, ... s, at SECONDS and 5 s later."""
    seconds = int(seconds)
    at = [4]
    while at[-1] * 2 < seconds:
        at.append(at[-1] * 2)
    with Session(arch, ["1920x1080x24"]) as s:
        program, worker = s.cover_screen(exe, 1920, 1080)
        rate, core = _rate(s, "window program", program, worker, at + [seconds, seconds + 5])
        print(f"report: tick rate {arch} ({s.route[0]}) window program at 1920x1080: {rate:.1f}/s, "
              f"{core:.0f}% of a core")


def saver(arch, scr, exe, seconds="40"):
    """The saver's /s and then the window program, one after the other in the
    same run, each with screenshots at SECONDS / 2 and SECONDS."""
    seconds = int(seconds)
    with Session(arch, ["1920x1080x24"]) as s:
        s.xdotool("mousemove", "960", "540")
        program = s.start(scr, "/s")
        s.wait_saver_windows([(0, 0, 1920, 1080)])
        saver_rate, saver_core = _rate(s, "saver", program, s.worker(scr), [seconds / 2, seconds])
        program, worker = s.cover_screen(exe, 1920, 1080)
        window_rate, window_core = _rate(s, "window program", program, worker, [seconds / 2, seconds])
        print(f"report: tick rate {arch} at 1920x1080: saver {saver_rate:.1f}/s ({saver_core:.0f}% of a core), "
              f"window program {window_rate:.1f}/s ({window_core:.0f}%), "
              f"{saver_rate / window_rate:.2f}x on {os.cpu_count()} cores")


if __name__ == "__main__":
    sys.exit(wd.main())
