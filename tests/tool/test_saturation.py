"""Saturation: from tick 18,073,710 the zoom stops growing, and every later
tick renders the same frame, reached at once."""
import struct

import pytest

from model import LARGEST, SATURATED, bits, fnv, grow_zoom, model_line


@pytest.mark.parametrize("w,h", [(5, 4), (16, 9)])
def test_saturation(tool, w, h):
    """From tick 18,073,710 the zoom stops growing, and the centre settled long
    before: every later tick renders the same frame. The model steps through
    every tick to 18,073,720; the tool gives its line for that tick, and for
    any later one at once, whether the ticks through saturation are skipped or
    rendered."""
    size, expected = f"{w}x{h}", model_line(w, h, SATURATED)
    for ticks, first in [(SATURATED, ["--fast-forward"]), (10**9, ["--from", str(SATURATED - 20)]),
                         (LARGEST, ["--from", str(LARGEST - 20)]), (LARGEST, ["--fast-forward"])]:
        run = tool("--size", size, "--ticks", str(ticks), *first)
        want = expected.replace(f"tick={SATURATED} ", f"tick={ticks} ")
        assert run.stdout.decode().strip() == want, (ticks, first, run.stderr)

    # Raw frames are rendered one by one, through saturation too: they end on
    # the frame that the largest tick renders.
    frame = w * h * 4
    slow = tool("--size", size, "--ticks", str(SATURATED), "--from", str(SATURATED - 20), "--raw").stdout
    fast = tool("--size", size, "--ticks", str(LARGEST), "--from", str(LARGEST - 2), "--raw").stdout
    assert len(slow) == 21 * frame and fast == slow[-frame:] * 3
    assert f"frame={fnv(struct.unpack(f'<{w * h}I', slow[-frame:])):016X}" in expected


def test_saturated_empty_frame(tool):
    """An empty frame never moves the centre; its zoom saturates all the same."""
    zoom = bits(grow_zoom(1.0, SATURATED))
    for size in ["0x0", "6x0"]:
        run = tool("--size", size, "--ticks", str(LARGEST), "--fast-forward")
        assert run.stdout.decode().strip() == (f"tick={LARGEST} size={size} zoom={zoom:08X} centerRe=BF400000 "
                                               "centerIm=3F000000 frame=CBF29CE484222325")
