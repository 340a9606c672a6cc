"""Which tick of the core a screenshot shows: the host's frame tool renders
the frames of a range of ticks, and the screenshot must equal one of them in
the bits per channel that the screen keeps (5 at depth 16, 8 at 24)."""
import subprocess

from . import fail

# The window's timer fires at most every 16 ms.
TICK_SECONDS = 0.016


def max_tick(seconds):
    """The most ticks a window can have made in that many seconds, and a few more."""
    return int(seconds / TICK_SECONDS) + 20


def crop(pixels, width, x, y, w, h, size):
    """The w x h rectangle at (x, y) of a picture width pixels wide, size bytes a pixel."""
    if x == 0 and w == width:
        return pixels[size * width * y:size * width * (y + h)]
    return b"".join(pixels[size * (width * row + x):size * (width * row + x + w)] for row in range(y, y + h))


def match(tool, bits, shots, w, h, first, last):
    """The tick from first to last whose w x h frame the screenshots show, or
    None. shots: (x, y, sw, sh, rgb) each, rgb (8-bit R, G, B) showing the
    sw x sh rectangle at (x, y) of the frame, equal in the bits per channel
    given (one count each for R, G, B)."""
    masks = [bytes(v >> (8 - b) << (8 - b) for v in range(256)) for b in bits]
    wanted = [(x, y, sw, sh, [rgb[c::3].translate(masks[c]) for c in range(3)]) for x, y, sw, sh, rgb in shots]
    cmd = [tool, "--size", f"{w}x{h}", "--from", str(first), "--ticks", str(last), "--raw"]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE) as frames:
        for tick in range(first, last + 1):
            frame = frames.stdout.read(4 * w * h)
            if len(frame) < 4 * w * h:
                fail(f"the frame tool gave no frame {tick} at {w}x{h}")
            if all(all(part[2 - c::4].translate(masks[c]) == want[c] for c in range(3))
                   for x, y, sw, sh, want in wanted for part in [crop(frame, w, x, y, sw, sh, 4)]):
                frames.kill()
                return tick
    return None


def find_tick(tool, bits, shots, w, h, estimate, low, high):
    """The tick from low to high that the screenshots show (see match),
    searched in windows of ticks from estimate outwards, or None."""
    width = 32 + (estimate - low) // 10
    up = down = min(max(estimate, low), high)
    while up <= high or down > low:
        if up <= high:
            tick = match(tool, bits, shots, w, h, up, min(up + width - 1, high))
            if tick:
                return tick
            up += width
        if down > low:
            tick = match(tool, bits, shots, w, h, max(down - width, low), down - 1)
            if tick:
                return tick
            down -= width
    return None
