#!/usr/bin/env python3
"""Ticks a second of the Windows programs under Wine, covering a 1920 x 1080
screen, as a user would see them: figures only, no pass or fail.

  bench/tick_rate.py --probe PROBE --frame-tool TOOL window win64|win32 EXE [SECONDS=80]
  bench/tick_rate.py --probe PROBE --frame-tool TOOL saver win64|win32 SCR EXE [SECONDS=40]
      the saver, then the window program

PROBE is the win64 build's win/tests/window-probe.exe, TOOL the host build's
tools/mandelbrot-frames.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "tests"))
from wine import Failure, fail, frames, soak  # noqa: E402
from wine.session import Session  # noqa: E402


def _rate(s, name, program, worker, at):
    """Screenshots at the seconds `at` after the start, matched against the
    frame tool's frames only once the program is closed, so that the search
    never takes a core from it; prints each and returns the ticks a second
    between the last two, and the share of a core the program had then."""
    shots = []
    for when in at:
        time.sleep(max(0.0, s.born[program.pid] + when - time.monotonic()))
        shots.append((time.monotonic() - s.born[program.pid], s.screenshot(0, 0, 1920, 1080), soak.cpu_ticks(worker)))
    s.close(program)
    last, ticks = (0, 1.0), []
    for elapsed, rgb, _ in shots:
        estimate = last[0] + int(max(last[0], 1) / last[1] * (elapsed - last[1]))
        tick = frames.find_tick(s.tool, s.bits, [(0, 0, 1920, 1080, rgb)], 1920, 1080, estimate, max(last[0], 1),
                                frames.max_tick(elapsed))
        print(f"{name}: screenshot at {elapsed:6.2f} s: " + (f"tick {tick}" if tick else "matched no tick"))
        ticks.append(tick)
        last = (tick, elapsed) if tick else last
    if not ticks[-2] or not ticks[-1]:
        fail(f"a measured screenshot of the {name} matched no tick")
    (ta, _, ca), (tb, _, cb) = shots[-2:]
    return (ticks[-1] - ticks[-2]) / (tb - ta), 100 * (cb - ca) / os.sysconf("SC_CLK_TCK") / (tb - ta)


def window(s, exe, seconds):
    """The window program: screenshots at 4, 8, 16, ... s, at SECONDS and 5 s later."""
    at = [4]
    while at[-1] * 2 < seconds:
        at.append(at[-1] * 2)
    program, worker = s.cover_screen(exe, 1920, 1080)
    rate, core = _rate(s, "window program", program, worker, at + [seconds, seconds + 5])
    print(f"report: tick rate {s.arch} ({s.route[0]}) window program at 1920x1080: {rate:.1f}/s, "
          f"{core:.0f}% of a core")


def saver(s, scr, exe, seconds):
    """The saver's /s and then the window program, one after the other in the
    same run, each with screenshots at SECONDS / 2 and SECONDS."""
    s.saver_settings()  # from the first tick, as the window program starts
    s.xdotool("mousemove", "960", "540")
    program = s.start(scr, "/s")
    s.wait_saver_windows([(0, 0, 1920, 1080)])
    saver_rate, saver_core = _rate(s, "saver", program, s.worker(scr), [seconds / 2, seconds])
    program, worker = s.cover_screen(exe, 1920, 1080)
    window_rate, window_core = _rate(s, "window program", program, worker, [seconds / 2, seconds])
    print(f"report: tick rate {s.arch} at 1920x1080: saver {saver_rate:.1f}/s ({saver_core:.0f}% of a core), "
          f"window program {window_rate:.1f}/s ({window_core:.0f}%), "
          f"{saver_rate / window_rate:.2f}x on {os.cpu_count()} cores")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--frame-tool", required=True)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("window")
    command.add_argument("arch", choices=["win64", "win32"])
    command.add_argument("exe")
    command.add_argument("seconds", type=int, nargs="?", default=80)
    command = commands.add_parser("saver")
    command.add_argument("arch", choices=["win64", "win32"])
    command.add_argument("scr")
    command.add_argument("exe")
    command.add_argument("seconds", type=int, nargs="?", default=40)
    options = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    try:
        with Session(options.arch, ["1920x1080x24"], probe=options.probe, tool=options.frame_tool) as s:
            if options.command == "window":
                window(s, options.exe, options.seconds)
            else:
                saver(s, options.scr, options.exe, options.seconds)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
