#!/usr/bin/env bash
# Soak: the 64-bit exe runs 60 s full-screen at 800 x 600 under Wine while its
# resident memory is sampled every second; prints the figures. Fails only if
# the program does not run the whole time or does not exit 0 at the end:
# memory is reported, not judged.
#
#   soak.sh EXE PROBE [SECONDS]
set -euo pipefail
exe=$1 probe=$2 seconds=${3:-60}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  xvfb_stop
}
trap cleanup EXIT

wine_setup win64
xvfb_start 800x600x24
"$WINE" "$exe" &
pid=$!
"$WINE" "$probe" state >/dev/null || fail "no window \"Mandelbrot Set\" appeared"
xid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Mandelbrot Set$' | head -n1)
xdotool windowfocus "$xid"
sleep 0.3
xdotool key Escape
state=$("$WINE" "$probe" state)
[[ $state =~ client\ 0\ 0\ 800\ 600\  ]] || fail "Escape did not give an 800 x 600 client area: $state"

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }
samples=()
for ((s = 1; s <= seconds; s++)); do
  sleep 1
  kill -0 "$pid" 2>/dev/null || fail "the program ended after $s s"
  samples+=("$(rss)")
done
cpu=$(awk '{ printf "%.1f", ($14 + $15) / 100 }' "/proc/$pid/stat")
# The first seconds are start-up; from 10 s on the figures should stay flat.
printf '%s\n' "${samples[@]}" | awk -v seconds="$seconds" -v cpu="$cpu" '
  { rss[NR] = $1 }
  END {
    from = seconds >= 20 ? 10 : 1
    min = max = rss[from]
    for (i = from; i <= NR; i++) { if (rss[i] < min) min = rss[i]; if (rss[i] > max) max = rss[i] }
    printf "soak: %d s at 800x600 using %s s of CPU; resident KiB: at 1 s %d, at %d s %d, at %d s %d; " \
      "from %d s on min %d, max %d, spread %d KiB (%.2f%%)\n",
      NR, cpu, rss[1], from, rss[from], NR, rss[NR], from, min, max, max - min, 100 * (max - min) / max
  }'

"$WINE" "$probe" close
for i in $(seq 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "the program exited with code $status"
echo "soak: closed with exit code 0"
