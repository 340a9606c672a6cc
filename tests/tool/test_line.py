"""The frame tool's line and frames against the model: the view and hash it
prints, its raw frames and its PNG, rendered, fast-forwarded and from a tick
in between."""
import struct

import pytest

from model import View, bits, model_frames, model_line, shown
from png_rgb import read_png


@pytest.mark.parametrize("w,h,ticks", [(1, 1, 1), (4, 2, 1), (3, 2, 2), (8, 6, 3), (17, 9, 2), (16, 9, 886),
                                       (5, 4, 1200)])
def test_line_matches_model(tool, w, h, ticks):
    expected = model_line(w, h, ticks)
    # Rendered throughout, fast-forwarded, and from a tick in between.
    for first in ([], ["--fast-forward"], ["--from", str((ticks + 1) // 2)]):
        got = tool("--size", f"{w}x{h}", "--ticks", str(ticks), *first).stdout.decode().strip()
        assert got == expected, first


@pytest.mark.parametrize("size,ticks", [("64x48", 300), ("0x5", 30), ("6x0", 30)])
def test_fast_forward_gives_the_full_runs_line(tool, size, ticks):
    full = tool("--size", size, "--ticks", str(ticks)).stdout
    fast = tool("--size", size, "--ticks", str(ticks), "--fast-forward").stdout
    last = tool("--size", size, "--ticks", str(ticks), "--from", str(ticks)).stdout
    assert full.startswith(b"tick=") and full == fast == last


def test_empty_frame(tool):
    """An empty frame hashes no words, yet the zoom still grows; the leftover
    centre word is zero, so the centre stays."""
    out = tool("--size", "0x0", "--ticks", "10").stdout.decode().strip()
    view = View()
    for _ in range(10):
        view.advance(0)
    assert out == (f"tick=10 size=0x0 zoom={bits(view.zoom):08X} centerRe=BF400000 centerIm=3F000000 "
                   "frame=CBF29CE484222325")


def test_raw_frames_and_png(tool, tmp_path):
    """Raw frames: every rendered tick's words, little-endian; the PNG shows
    tick N's frame with bits 16-23 as red and 0-7 as blue. --from M writes the
    frames of ticks M to N alone."""
    model = model_frames(7, 5, 6)
    png = tmp_path / "f.png"
    run = tool("--size", "7x5", "--ticks", "3", "--raw", "--png", str(png))
    assert run.returncode == 0 and run.stdout == struct.pack("<105I", *(model[0] + model[1] + model[2]))
    assert read_png(png) == (7, 5, shown(model[2]))
    run = tool("--size", "7x5", "--ticks", "6", "--from", "4", "--raw", "--png", str(png))
    assert run.returncode == 0 and run.stdout == struct.pack("<105I", *(model[3] + model[4] + model[5]))
    assert read_png(png) == (7, 5, shown(model[5]))
