#!/usr/bin/env bash
# End-to-end run, as a user sees it: the real exe under Wine on a virtual X
# screen of 640 x 480, watched and driven from outside.
#
#   e2e.sh win64|win32 DEPTH full|short EXE PROBE64 FRAME_TOOL
#
# Both scenarios check that the window "Mandelbrot Set" opens, that a
# screenshot of its client area equals, pixel for pixel, the frame that the
# core computes for some tick at that size (on a 16-bit screen: in the bits
# kept), and that Alt+F4 ends the process with exit code 0. "full" also
# checks that minimising and restoring keeps it alive and animating, that
# Escape makes it borderless and topmost at (0, 0) with the screen's size, and
# that a second Escape brings the frame back at that placement.
#
# win32 runs a 32-bit exe through WoW64, by the route that scripts/run32 names:
# natively in the 64-bit prefix, or with 32-bit Wine under qemu-i386. Under
# qemu a run takes minutes, so there only the short scenario runs, at depth 24;
# other depths are skipped (exit code 77), as is everything where qemu-i386
# cannot be registered. The probe is the 64-bit one in both cases: it only asks
# the window system.
set -euo pipefail
arch=$1 depth=$2 scenario=$3 exe=$4 probe=$5 tool=$6
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
stage() { printf '%s  [%ds]\n' "$*" "$SECONDS"; }

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  xvfb_stop
  binfmt_i386_unregister
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$tool" ] || fail "the frame tool $tool is missing: build the host preset first"
label=$arch
if [ "$arch" = win32 ]; then
  wine32_prepare || skip "$WINE32_UNAVAILABLE"
  label="win32 ($WINE32_ROUTE)"
  echo "32-bit route: $WINE32_ROUTE ($WINE32_WHY)"
  if [ "$WINE32_ROUTE" = qemu ]; then
    [ "$depth" = 24 ] || skip "32-bit Wine runs under qemu here: only the short scenario at depth 24 runs"
    scenario=short
  fi
fi
wine_setup "$arch"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  reason=$(grep -m1 'err:' "$WINEPREFIX.log" || tail -n1 "$WINEPREFIX.log" || true)
  fail "could not create the Wine prefix $WINEPREFIX: $reason"
fi
stage "prefix $WINEPREFIX ready"
xvfb_start "640x480x$depth"

started=$(date +%s%N)
"$WINE" "$exe" &
pid=$!

probe_state() { "$WINE" "$probe" state; }
# wait_state REGEX WHAT: polls the window until its state line matches.
wait_state() {
  local i
  for i in $(seq 30); do
    state=$(probe_state) && [[ $state =~ $1 ]] && return 0
    sleep 0.2
  done
  fail "$2; the window reports: $state"
}
read_client() {
  read -r _ _ _ _ _ _ cx cy cw ch _ <<<"$state"
}
x_window() {
  timeout 20 xdotool search --sync --onlyvisible --name '^Mandelbrot Set$' | head -n1
}
alive() {
  kill -0 "$pid" 2>/dev/null || fail "the program ended: $*"
}

# screenshot FILE: the client area as raw 8-bit RGB.
screenshot() {
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "${cw}x${ch}+${cx}+${cy}" +repage -depth 8 "rgb:$1"
}

# The program keeps running, so the ticks are searched: at most one per 16 ms
# since it started, and a few more for good measure.
check_frame() {
  local bits=() attempt ticks
  # Wine's 16-bit device bitmaps keep 5 bits of each channel, green included.
  [ "$depth" = 16 ] && bits=(5 5 5)
  # Under qemu the first frame comes long after the window: wait until the
  # client area shows more than the one colour of its background.
  for attempt in $(seq 120); do
    screenshot "$work/shot.rgb"
    (($(convert -size "${cw}x${ch}" -depth 8 "rgb:$work/shot.rgb" -format %k info:) > 1)) && break
    sleep 1
  done
  for attempt in 1 2 3; do
    screenshot "$work/shot.rgb"
    ticks=$((($(date +%s%N) - started) / 16000000 + 20))
    if { "$tool" --size "${cw}x${ch}" --ticks "$ticks" --raw || true; } |
      python3 "$here/match_frame.py" "$work/shot.rgb" "$cw" "$ch" "${bits[@]}"; then
      return 0
    fi
    echo "screenshot $attempt matched no tick" >&2
  done
  fail "the client area shows no frame of the core"
}

wait_state "style [0-9A-F]{8} " "no window \"Mandelbrot Set\" appeared"
echo "opened: $state"
if [ "$arch" = win32 ] && [ "$WINE32_ROUTE" = native ]; then
  exe_pid=$(wine_exe_pid "$exe") || fail "no process runs $exe"
  grep -q qemu "/proc/$exe_pid/maps" && fail "the native route ran the exe under qemu: $(grep -m1 qemu "/proc/$exe_pid/maps")"
  echo "the exe runs in process $exe_pid of $(readlink "/proc/$exe_pid/exe"), no qemu in its maps"
fi
[[ $state =~ depth\ $([ "$depth" = 16 ] && echo 16 || echo 32)\  ]] || fail "Wine does not see a $depth-bit screen"
framed=$(sed -E 's/.* style ([0-9A-F]+) .*/\1/' <<<"$state")
(( (16#$framed & 16#00CF0000) == 16#00CF0000 )) || fail "the window is not framed: style $framed"
read_client
check_frame
stage "frame checked at ${cw}x${ch}"

if [ "$scenario" = full ]; then
  "$WINE" "$probe" minimize
  wait_state "iconic 1 " "the window did not minimise"
  sleep 1
  alive "while minimised"
  "$WINE" "$probe" restore
  wait_state "client $cx $cy $cw $ch .*iconic 0 " "the window did not come back at its size"
  screenshot "$work/a.rgb"
  sleep 0.5
  screenshot "$work/b.rgb"
  cmp -s "$work/a.rgb" "$work/b.rgb" && fail "the picture stands still after restoring"
  alive "after restoring"
  stage "minimised, restored, still animating"

  xid=$(x_window)
  xdotool windowfocus "$xid"
  sleep 0.3
  xdotool key Escape
  wait_state "window 0 0 640 480 .*style 5[04]000000 exstyle [0-9A-F]{7}[89A-F] " \
    "the first Escape did not make the window borderless and topmost at (0, 0), 640 x 480"
  echo "after the first Escape: $state; X focus on the window: $([ "$(xdotool getwindowfocus)" = "$xid" ] && echo yes || echo no)"
  # No refocusing here: the second Escape goes to wherever the focus is now.
  xdotool key Escape
  wait_state "window 0 0 640 480 .*style $framed exstyle [0-9A-F]{7}[89A-F] " \
    "the second Escape did not bring the frame back, topmost at (0, 0), 640 x 480"
  echo "after the second Escape: $state"
  stage "Escape toggled twice"
fi

xdotool windowfocus "$(x_window)"
sleep 0.3
xdotool key alt+F4
for i in $(seq 600); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "Alt+F4 did not end the program"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "the program exited with code $status after Alt+F4"
stage "Alt+F4: exit code 0"
echo "report: e2e $label: $scenario scenario passed at depth $depth in ${SECONDS} s"
