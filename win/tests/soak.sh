#!/usr/bin/env bash
# Soak: the exe runs full-screen at 800 x 600 under Wine for 60 s while its
# resident memory is sampled every second; where the platform does not count
# GDI and USER objects, it then runs again at 160 x 120 and is made to paint
# more times than a process can hold GDI objects. Fails if the program does not
# run the whole time, if its memory grows, if its GDI or USER objects grow, if
# it no longer shows new frames of the core after those paints, or if it does
# not exit 0 at the end.
#
#   soak.sh win64|win32 EXE PROBE64 FRAME_TOOL [SECONDS]
#
# win32 runs by the route that scripts/run32 names; under qemu (minutes to
# start, a few ticks a second) the soak is skipped with exit code 77.
set -euo pipefail
arch=$1 exe=$2 probe=$3 tool=$4 seconds=${5:-60}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  xvfb_stop
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$tool" ] || fail "the frame tool $tool is missing: build the host preset first"
label=$arch
if [ "$arch" = win32 ]; then
  wine32_route
  label="win32 ($WINE32_ROUTE)"
  [ "$WINE32_ROUTE" = native ] || skip "32-bit Wine runs under qemu here ($WINE32_WHY): no soak"
fi
wine_setup "$arch"

# run_program WxH: starts the exe on a virtual screen of that size and makes it
# cover the screen (Escape). finish_program: closes it; it must exit 0.
run_program() {
  xvfb_start "${1}x24"
  started=$(date +%s%N)
  "$WINE" "$exe" &
  pid=$!
  "$WINE" "$probe" state >/dev/null || fail "no window \"Mandelbrot Set\" appeared"
  exe_pid=$(wine_exe_pid "$exe") || fail "no process runs $exe"
  local xid
  xid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Mandelbrot Set$' | head -n1)
  xdotool windowfocus "$xid"
  sleep 0.3
  xdotool key Escape
  state=$("$WINE" "$probe" state)
  [[ $state =~ client\ 0\ 0\ ${1/x/\ }\  ]] || fail "Escape did not give a $1 client area: $state"
}
finish_program() {
  "$WINE" "$probe" close
  for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "WM_CLOSE did not end the program"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 0 ] || fail "the program exited with code $status"
  xvfb_stop
}

run_program 800x600
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$exe_pid/status"; }
alive() { kill -0 "$exe_pid" 2>/dev/null || fail "the program ended $*"; }

# Resident memory: the first seconds are start-up (Wine maps its libraries, the
# heap takes the FrameBuffer and GDI its first bitmaps); from 10 s on nothing
# new should come. Under WoW64 a paint holds a copy of the frame for a moment,
# so single samples of the 32-bit exe rise by up to a frame's bytes and fall
# back; what is judged is the floor, the lowest sample of 5 s at 10 s and at
# the end, which a leak raises and a passing copy does not. The bound leaves
# room for a heap or cache that grows once by a few pages; a leak of 512 bytes
# a tick passes it within 40 s at 60 ticks a second. A sample 64 MiB above the
# one at 10 s stops the soak at once, before a fast leak takes the machine's
# memory.
bound=1024 runaway=65536
base= base_when="at 10 s"
judge_rss() {
  local now
  now=$(rss)
  ((now <= base + bound)) ||
    fail "resident memory grew from $base KiB $base_when to $now KiB $1 (more than $bound KiB)"
}
floor() { printf '%s\n' "$@" | sort -n | head -n1; }
samples=()
for ((s = 1; s <= seconds; s++)); do
  sleep 1
  alive "after $s s"
  samples+=("$(rss)")
  if ((s == 10)); then
    base=${samples[9]}
    gui_base=$("$WINE" "$probe" resources | tr -d '\r') && gui=reported || gui=
  fi
  [ -n "$base" ] && ((samples[s - 1] > base + runaway)) &&
    fail "resident memory grew from $base KiB at 10 s to ${samples[s - 1]} KiB at $s s"
done
early=$(floor "${samples[@]:9:5}") late=$(floor "${samples[@]: -5}") peak=$(printf '%s\n' "${samples[@]:9}" | sort -n | tail -n1)
((late <= early + bound)) ||
  fail "the floor of resident memory grew from $early KiB (10 to 14 s) to $late KiB (the last 5 s; more than $bound KiB)"
cpu=$(awk '{ printf "%.1f", ($14 + $15) / 100 }' "/proc/$exe_pid/stat")
echo "soak: $seconds s at 800x600 using $cpu s of CPU; resident KiB: at 1 s ${samples[0]}, floor $early at 10 to 14 s and $late in the last 5 s, peak $peak"
memory_summary="resident memory flat over $seconds s (floor $early KiB at 10 s, $late KiB at the end, bound +$bound; peak $peak)"

# GDI and USER objects: counted where the platform reports them. A paint holds
# its bitmap and memory DC while it runs, hence a margin of 2.
if [ -n "$gui" ]; then
  read -r _ gdi0 _ user0 <<<"$gui_base"
  read -r _ gdi1 _ user1 < <("$WINE" "$probe" resources | tr -d '\r')
  echo "soak: GDI objects $gdi0 at 10 s, $gdi1 at $seconds s; USER objects $user0, $user1"
  ((gdi1 <= gdi0 + 2)) || fail "GDI objects grew from $gdi0 to $gdi1"
  ((user1 <= user0)) || fail "USER objects grew from $user0 to $user1"
  gdi_summary="GDI $gdi0 -> $gdi1, USER $user0 -> $user1"
elif [ "$arch" = win64 ] && [ "$(wine32_route; echo "$WINE32_ROUTE")" = native ]; then
  # The paints below take minutes; where the shipped 32-bit exe runs here, its
  # soak makes them (the paint code is the same source).
  echo "soak: GDI/USER counts not reported here ($gui_base); the 32-bit soak exhausts the GDI table"
  gdi_summary="GDI table exhausted by the 32-bit soak"
else
  # Not reported (Wine): paint more times than a process's GDI table holds, as
  # measured in the probe's own process (Wine 8: 65,467 objects; Windows allows
  # 10,000 a process). A paint that kept even one object would fill it, and
  # from then on no paint could show a frame.
  echo "soak: GDI/USER counts not reported here ($gui_base)"
  finish_program
  # On a 160 x 120 screen, where a paint costs little more than its GDI calls.
  run_program 160x120
  sleep 5
  base=$(rss) base_when="before the paints"
  capacity=$("$WINE" "$probe" gdi-capacity | tr -d '\r')
  paints=$((capacity + 1000))
  began=$SECONDS
  timeout 420 "$WINE" "$probe" paint "$paints" || fail "the probe could not make $paints paints"
  alive "during $paints paints"
  judge_rss "after $paints paints"
  echo "soak: $paints paints at 160x120 in $((SECONDS - began)) s, resident memory $base KiB before, $(rss) KiB after (the probe's GDI table holds $capacity objects)"

  # shown_tick FILE: the tick whose frame the client area shows.
  shown_tick() {
    import -window root -depth 8 "rgb:$work/$1.rgb"
    local ticks=$((($(date +%s%N) - started) / 16000000 + 20))
    { "$tool" --size 160x120 --ticks "$ticks" --raw || true; } |
      python3 "$here/match_frame.py" "$work/$1.rgb" 160 120 | sed -E 's/.* of tick ([0-9]+) .*/\1/'
  }
  tick_a=$(shown_tick a) || fail "after $paints paints the window shows no frame of the core"
  sleep 0.5
  tick_b=$(shown_tick b) || fail "after $paints paints and 0.5 s the window shows no frame of the core"
  ((tick_b > tick_a)) || fail "after $paints paints the window stands still at the frame of tick $tick_a"
  echo "soak: after the paints the window shows the frames of ticks $tick_a and then $tick_b"
  gdi_summary="$paints paints (GDI table $capacity), then still new frames of the core"
fi

finish_program
echo "report: soak $label: $memory_summary; $gdi_summary; exit code 0"
