#!/usr/bin/env python3
"""Finds the tick whose frame a screenshot shows.

usage: match_frame.py SHOT.rgb WIDTH HEIGHT [RED_BITS GREEN_BITS BLUE_BITS] < frames

SHOT.rgb is the client area as raw 8-bit R, G, B. Standard input is the frame
tool's --raw stream: one WIDTH x HEIGHT frame of little-endian words per tick,
whose bytes are B, G, R, 0 as the screen reads them. Prints the first tick
whose frame equals the screenshot and exits 0, or exits 1. A display with fewer
bits per channel keeps only the top bits of each channel, so only those are
compared.
"""
import sys


def top_bits(bits):
    return bytes((v >> (8 - bits)) << (8 - bits) for v in range(256))


def main():
    shot_path, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    bits = [int(b) for b in sys.argv[4:7]] or [8, 8, 8]
    red, green, blue = (top_bits(b) for b in bits)
    pixels = width * height
    with open(shot_path, "rb") as f:
        shot = f.read()
    if len(shot) != 3 * pixels:
        sys.exit(f"match_frame: {shot_path} has {len(shot)} bytes, not {3 * pixels}")
    want = (shot[2::3].translate(blue), shot[1::3].translate(green), shot[0::3].translate(red))

    stream = sys.stdin.buffer
    tick = 0
    last = b""
    while True:
        frame = stream.read(4 * pixels)
        if len(frame) < 4 * pixels:
            break
        tick += 1
        last = frame
        if (frame[0::4].translate(blue), frame[1::4].translate(green), frame[2::4].translate(red)) == want:
            print(f"the screenshot equals the frame of tick {tick} at {width}x{height}")
            return 0
    got = (last[0::4].translate(blue), last[1::4].translate(green), last[2::4].translate(red))
    differ = sum(1 for i in range(pixels) if any(g[i] != w[i] for g, w in zip(got, want))) if last else pixels
    print(f"match_frame: none of {tick} frames at {width}x{height} equals the screenshot "
          f"(the last differs in {differ} of {pixels} pixels)", file=sys.stderr)
    return 1

if __name__ == "__main__":
    sys.exit(main())
