#!/bin/sh
# Makes mandelbrot.ico, the icon that Explorer shows for the exes and the
# screen savers: the zoom's first frame at 16, 32 and 48 pixels, each rendered
# at its own size by the frame tool given (scripts/mandelbrot docs gives the
# host preset's), so that every pixel has one of the zoom's own colours. A frame has
# at most 129 colours, so each size is an 8-bit bitmap whose palette holds
# just the colours it uses, colour for colour: each shipped file has 64 KB in
# all. The icon is committed, so that builds need no host tool; the Windows
# tests check that it still shows the zoom's first frame.
# Usage: win/icon/make_icon.sh FRAME_TOOL
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:?usage: make_icon.sh FRAME_TOOL, as build/host/tools/mandelbrot-frames}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 32 48; do
  "$tool" --size "${size}x$size" --ticks 1 --quiet --png "$work/$size.png" >/dev/null
  convert "$work/$size.png" -depth 8 "rgb:$work/$size.rgb"
done
# The icon file: a header, one directory entry a size, then each image: a
# bitmap header, the palette, the pixels' indices and an all-opaque mask, the
# rows from the bottom up, each padded to 4 bytes.
python3 - "$work" "$here/mandelbrot.ico" <<'PY'
import struct, sys
work, out = sys.argv[1:]
images = []
for size in (16, 32, 48):
    rgb = open(f"{work}/{size}.rgb", "rb").read()
    pixels = [rgb[i:i + 3] for i in range(0, len(rgb), 3)]
    palette = sorted(set(pixels))
    index = {colour: i for i, colour in enumerate(palette)}
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 8, 0, 0, 0, 0, len(palette), 0)
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    pad = b"\0" * (-size % 4)
    rows = b"".join(bytes(index[p] for p in pixels[y * size:(y + 1) * size]) + pad for y in reversed(range(size)))
    mask = b"\0" * ((size + 31) // 32 * 4 * size)
    images.append((size, header + colours + rows + mask))
data = struct.pack("<HHH", 0, 1, len(images))
offset = len(data) + 16 * len(images)
for size, image in images:
    data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)  # 0: 8 bits a pixel
    offset += len(image)
open(out, "wb").write(data + b"".join(image for _, image in images))
PY
