"""A separate Python model of the animation, for checking the frame tool.

The model rounds every operation to single precision through struct, so it
shares no code and no compiler with the tool.
"""
import array
import functools
import math
import struct

# The tick from which the zoom stops growing: every later tick renders the same frame.
SATURATED = 18073720
# The largest tick the tool takes.
LARGEST = 2**63 - 1


def f32(x):
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def to_int32(x):
    if math.isnan(x) or abs(x) >= 2.0**31:
        return -(2**31)
    return int(x)


def hsv(h, s, v):
    i = to_int32(f32(h / 60.0))
    f = f32(float(h) / 60.0 - float(i))
    V = f32(v * 255.0)
    p = f32(f32(1.0 - s) * V)
    q = f32(f32(1.0 - f32(f * s)) * V)
    t = f32(f32(1.0 - f32(f32(1.0 - f) * s)) * V)
    byte = [to_int32(x) & 0xFF for x in (V, p, q, t)]
    V, p, q, t = byte
    sector = int(math.fmod(i, 6))
    rows = {0: (p, t, V), 1: (p, V, q), 2: (t, V, p), 3: (V, q, p), 4: (V, p, t)}
    b2, b1, b0 = rows.get(sector, (q, p, V))
    return b2 << 16 | b1 << 8 | b0


def escape(cr, ci):
    zr = zi = zr2 = zi2 = 0.0
    for n in range(128):
        t = f32(zr * 2.0)
        zr = f32(f32(zr2 - zi2) + cr)
        zi = f32(f32(zi * t) + ci)
        zr2, zi2 = f32(zr * zr), f32(zi * zi)
        if f32(zr2 + zi2) > 4.0:
            return n
    return 128


COLORS = [hsv(1.0, float(n), 1.0 if n < 128 else 0.0) for n in range(129)]


class View:
    def __init__(self):
        self.zoom, self.re, self.im = 1.0, f32(-0.75), 0.5

    def render(self, w, h):
        half = f32(self.zoom * 0.5)
        words = []
        for y in range(h):
            ci = f32(f32(float(y - (h >> 1)) / f32(float(h) * half)) + self.im)
            for x in range(w):
                cr = f32(f32(f32(float(x - (w >> 1)) * 1.5) / f32(float(w) * half)) + self.re)
                words.append(COLORS[escape(cr, ci)])
        return words

    def advance(self, centre_word):
        self.zoom = f32(self.zoom + f32(0.1))
        if centre_word:
            self.re = f32(self.re + 0.0001)
            self.im = f32(self.im - 0.0001)


def model_frames(w, h, ticks):
    """The words of every tick's frame, 1 to ticks."""
    view, frames = View(), []
    for _ in range(ticks):
        frames.append(view.render(w, h))
        view.advance(frames[-1][(h >> 1) * w + (w >> 1)])
    return frames


def shown(words):
    """The RGB bytes the screen shows: bits 16-23 red, 0-7 blue."""
    return b"".join(bytes((x >> 16 & 0xFF, x >> 8 & 0xFF, x & 0xFF)) for x in words)


def fnv(words):
    h = 0xCBF29CE484222325
    for byte in struct.pack(f"<{len(words)}I", *words):
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


ZOOM_STEP = f32(0.1)


@functools.lru_cache(maxsize=None)
def grow_zoom(zoom, ticks):
    """The zoom after that many ticks, added one tick at a time in single precision."""
    # An array of floats rounds each sum to single precision, and each sum of
    # two floats is exact in Python's double first: much faster than f32().
    z = array.array("f", [zoom])
    for _ in range(ticks):
        z[0] += ZOOM_STEP
    return z[0]


@functools.lru_cache(maxsize=None)
def model_line(w, h, ticks):
    """Renders every tick until the view settles; then the ticks before the
    last only grow the zoom, since a settled centre point never escapes."""
    view, words, tick = View(), [], 1
    while True:
        words = view.render(w, h)
        centre = words[(h >> 1) * w + (w >> 1)]
        view.advance(centre)
        if tick == ticks:
            break
        tick += 1
        if centre == 0:
            view.zoom = grow_zoom(view.zoom, ticks - tick)
            tick = ticks
    return (f"tick={ticks} size={w}x{h} zoom={bits(view.zoom):08X} centerRe={bits(view.re):08X} "
            f"centerIm={bits(view.im):08X} frame={fnv(words):016X}")
