#!/usr/bin/env bash
# Unpacks the release zip into an empty folder and checks that it holds just
# the two exes, the readme and the licence, and that each exe, started from
# there, opens its window, shows a frame of the core and exits 0 on Alt+F4.
#
#   release_test.sh ZIP PROBE64 FRAME_TOOL
set -euo pipefail
zip=$1 probe64=$2 tool=$3
e2e=$(cd "$(dirname "$0")/../win/tests" && pwd)/e2e.sh

[ -f "$zip" ] || { echo "FAIL: no $zip: build it with cmake --build --preset win32 --target release" >&2; exit 1; }
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
unzip -q "$zip" -d "$folder"
contents=$(cd "$folder" && find . -type f | sort | tr '\n' ' ')
expected="./LICENSE.txt ./mandelbrot.exe ./mandelbrot64.exe ./readme.txt "
[ "$contents" = "$expected" ] || { echo "FAIL: the zip holds $contents, not $expected" >&2; exit 1; }

"$e2e" win64 24 short "$folder/mandelbrot64.exe" "$probe64" "$tool"
"$e2e" win32 24 short "$folder/mandelbrot.exe" "$probe64" "$tool"
echo "passed: both exes run from the unpacked zip"
