"""A long run's statistics: the resident memory of the process that runs a
program's code, sampled while its window keeps showing newer frames, and its
GDI and USER objects before and after."""
import re
import time

from . import fail

# A leak of 512 bytes a tick must raise the memory floor by more than BOUND_KIB
# between the two floors: they are LEAK_SPAN ticks apart.
BOUND_KIB, RUNAWAY_KIB, LEAK_SPAN = 1024, 65536, 2560


def rss(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read())[1])


def cpu_ticks(pid):
    """The processor time the process has used, user and system, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))


def gui_objects(resources):
    """The probe's resources line, "gdi G user U" or "gdi G", as {"GDI": G, "USER": U}."""
    words = resources.split()
    return {kind.upper(): int(count) for kind, count in zip(words[::2], words[1::2])}


def watch_memory(s, program, worker, rect):
    """Samples the worker's resident memory each second until LEAK_SPAN ticks
    separate the floor of 10 to 14 s from the floor of the last 5 s, while the
    rectangle of session s must keep showing newer frames. Fails if the floor
    grows by more than BOUND_KIB or a sample runs away; returns a summary and
    the probe's resources line at 10 s."""
    # Under WoW64 a paint holds a copy of the frame for a moment, so single
    # samples rise by up to a frame's bytes and fall back; the floor, the
    # lowest of 5 samples, rises only with a leak.
    samples, early, late, end = [], None, None, None
    while end is None or len(samples) < end:
        time.sleep(1)
        s.alive(program, f"after {len(samples) + 1} s")
        samples.append(rss(worker))
        if len(samples) == 10:
            resources = s.probe("resources", check=False)
        elif len(samples) == 14:
            early = s.shown_tick(program, rect)
        elif early and end is None and len(samples) % 5 == 4:
            previous, late = late or early, s.shown_tick(program, rect, late or early)
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
    earlier), GDI objects may not have grown by more than gdi_margin, nor
    USER objects, where counted too, at all; returns what was seen. Wine
    counts no 32-bit process's: the 64-bit build's checks count them for
    the same code."""
    if not resources.startswith("gdi "):
        return "GDI objects not counted here (Wine counts no 32-bit process's; the 64-bit run does)"
    before, after = gui_objects(resources), gui_objects(s.probe("resources"))
    grown = [f"{kind} objects went from {before[kind]} to {after[kind]}" for kind in sorted(before)
             if after[kind] > before[kind] + (gdi_margin if kind == "GDI" else 0)]
    if grown:
        fail(", ".join(grown))
    return ", ".join(f"{kind} {before[kind]} -> {after[kind]}" for kind in sorted(before))
