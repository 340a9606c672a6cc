#!/bin/sh
# Makes mandelbrot.ico, the icon that Explorer shows for the exes and the
# screen savers: the zoom's first frame at 16, 32 and 48 pixels, each rendered
# at its own size by the frame tool (the host preset's build, or the one
# given), so that every pixel has one of the zoom's own colours. A frame has
# at most 129 colours: ImageMagick keeps each size as an 8-bit palette image,
# colour for colour. The icon is committed, so that builds need no host tool;
# the Windows tests check that it still shows the zoom's first frame.
# Usage: win/icon/make_icon.sh [FRAME_TOOL]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../../build/host/tools/mandelbrot-frames}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 32 48; do
  "$tool" --size "${size}x$size" --ticks 1 --quiet --png "$work/$size.png" >/dev/null
done
convert "$work/16.png" "$work/32.png" "$work/48.png" -type Palette "$here/mandelbrot.ico"
