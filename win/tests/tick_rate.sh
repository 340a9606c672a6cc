#!/usr/bin/env bash
# Ticks per second of a real exe under Wine, monitor-sized on a 1920 x 1080
# screen, as a user would see it. Figures only: it judges nothing.
#
#   tick_rate.sh EXE PROBE64 FRAME_TOOL [SECONDS=80]
#
# Starts EXE (32- or 64-bit, read from its header) on a 1920 x 1080 x 24
# virtual screen, presses Escape so that the window covers the screen
# borderless, and takes screenshots: a few early ones (at 4, 8, 16, ... s
# after the start, to follow the tick count cheaply) and two that are measured,
# at SECONDS and 5 s later. Only once the exe is closed, so that the search
# never takes a core from it, is each screenshot matched against the frame
# tool's frames (match_frame.py) to find the tick it shows. The search for a
# screenshot covers only ticks near the count that the earlier matches predict,
# in windows rendered with --from, widening until it finds the frame. Prints
# each screenshot's tick and the ticks per second between the last two, with
# the share of a core the exe had then: on a busy machine it gets less.
set -euo pipefail
exe=$1 probe=$2 tool=$3 seconds=${4:-80}
gap=5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine.sh"

fail() { echo "tick_rate: $*" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  xvfb_stop
  binfmt_i386_unregister
  rm -rf "$work"
}
trap cleanup EXIT

[ -x "$tool" ] || fail "the frame tool $tool is missing: build the host preset first"
"$tool" --size 1x1 --ticks 1 --from 1 >/dev/null || fail "the frame tool $tool does not take --from"
(( seconds >= 10 )) || fail "SECONDS is at least 10, not $seconds"

# The PE header's machine field: 014c is 32-bit x86, 8664 is x86-64.
offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$exe" | tr -d ' ')
case $machine in
  8664) arch=win64 ;;
  014c) arch=win32 ;;
  *) fail "$exe is not a 32-bit or 64-bit x86 Windows exe (machine $machine)" ;;
esac
label=$arch
if [ "$arch" = win32 ]; then
  wine32_prepare || fail "$WINE32_UNAVAILABLE"
  label="win32 through WoW64 ($WINE32_ROUTE: $WINE32_WHY)"
fi
wine_setup "$arch"
[ -f "$WINEPREFIX/system.reg" ] || fail "could not create the Wine prefix $WINEPREFIX"
xvfb_start 1920x1080x24

now() { date +%s%N; }
started=$(now)
"$WINE" "$exe" &
pid=$!

state=
wait_state() {
  local i
  for i in $(seq 100); do
    state=$("$WINE" "$probe" state) && [[ $state =~ $1 ]] && return 0
    sleep 0.2
  done
  fail "$2; the window reports: $state"
}
wait_state "style [0-9A-F]{8} " "no window \"Mandelbrot Set\" appeared"
shown=$(now)
xdotool windowfocus "$(timeout 20 xdotool search --sync --onlyvisible --name '^Mandelbrot Set$' | head -n1)"
xdotool key Escape
wait_state "^window 0 0 1920 1080 client 0 0 1920 1080 " "Escape did not make the window cover the screen"

# cpu_used PID: its utime + stime, fields 14 and 15 of its stat line.
cpu_used() {
  local fields
  read -r -a fields < <(sed 's/.*) //' "/proc/$1/stat")
  echo $(( fields[11] + fields[12] ))
}
# The process that runs the exe's code (a 32-bit exe gets one of its own).
worker=$(wine_exe_pid "$exe") || fail "no process runs $exe"

# shot N AT: waits until AT seconds after the start and grabs the screen
# (which the client area now covers) as raw RGB; records when, in ns since the
# start, as the middle of the grab, and the CPU time the exe has used so far.
times=() cpu=()
shot() {
  local wait=$(( started + $2 * 1000000000 - $(now) ))
  (( wait > 0 )) && sleep "$(printf '%d.%09d' $((wait / 1000000000)) $((wait % 1000000000)))"
  local before after
  before=$(now)
  import -window root -depth 8 "rgb:$work/shot$1.rgb"
  after=$(now)
  times[$1]=$(( (before + after) / 2 - started ))
  cpu[$1]=$(cpu_used "$worker")
}
at=(4)
while (( at[-1] * 2 < seconds )); do at+=($((at[-1] * 2))); done
at+=("$seconds" $((seconds + gap)))
for i in "${!at[@]}"; do shot "$i" "${at[$i]}"; done
kill -0 "$pid" 2>/dev/null || fail "the program ended while it was watched"
"$WINE" "$probe" close
wait "$pid" || true
pid=

# match N LOW HIGH: the tick from LOW to HIGH whose frame screenshot N shows.
match() {
  local line
  line=$({ "$tool" --size 1920x1080 --from "$2" --ticks "$3" --raw || true; } |
    python3 "$here/match_frame.py" "$work/shot$1.rgb" 1920 1080 2>/dev/null) || return 1
  [[ $line =~ tick\ ([0-9]+) ]] && echo $((BASH_REMATCH[1] + $2 - 1))
}

# find_tick N ESTIMATE LOW HIGH WIDTH: searches windows of WIDTH ticks around
# ESTIMATE, first the one from it and then alternately after and before, within
# LOW..HIGH.
find_tick() {
  local n=$1 estimate=$2 low=$3 high=$4 width=$5 up down tick
  (( estimate < low )) && estimate=$low
  (( estimate > high )) && estimate=$high
  up=$estimate down=$estimate
  while (( up <= high || down > low )); do
    if (( up <= high )); then
      tick=$(match "$n" "$up" $(( up + width - 1 < high ? up + width - 1 : high ))) && { echo "$tick"; return 0; }
      up=$(( up + width ))
    fi
    if (( down > low )); then
      tick=$(match "$n" $(( down - width > low ? down - width : low )) $(( down - 1 ))) && { echo "$tick"; return 0; }
      down=$(( down - width ))
    fi
  done
  return 1
}

echo "$label, 1920x1080 borderless; the window showed $(( (shown - started) / 1000000 )) ms after the start"
ticks=()
last=-1 before=-1
for i in "${!at[@]}"; do
  t=${times[$i]}
  # The timer fires at most every 16 ms; a few more for good measure.
  high=$(( t / 16000000 + 20 ))
  if (( last < 0 )); then
    low=1 estimate=1 width=$high
  else
    low=${ticks[$last]}
    if (( before < 0 )); then
      rate_from=$(( shown - started )) count_from=0
    else
      rate_from=${times[$before]} count_from=${ticks[$before]}
    fi
    estimate=$(( low + (low - count_from) * (t - times[$last]) / (times[$last] - rate_from) ))
    width=$(( 32 + (estimate - low) / 10 ))
    cap=$(( low + (t - times[last]) / 16000000 + 20 ))
    (( cap < high )) && high=$cap
  fi
  if tick=$(find_tick "$i" "$estimate" "$low" "$high" "$width"); then
    ticks[$i]=$tick
    before=$last last=$i
    awk -v t="$t" -v k="$tick" 'BEGIN { printf "screenshot at %6.2f s: tick %d (%.1f ticks/s since the start)\n", t / 1e9, k, k * 1e9 / t }'
  else
    awk -v t="$t" -v l="$low" -v h="$high" 'BEGIN { printf "screenshot at %6.2f s: matched no tick from %d to %d\n", t / 1e9, l, h }'
  fi
done

a=$(( ${#at[@]} - 2 )) b=$(( ${#at[@]} - 1 ))
[ -n "${ticks[$a]:-}" ] && [ -n "${ticks[$b]:-}" ] || fail "a measured screenshot matched no tick"
awk -v ka="${ticks[$a]}" -v kb="${ticks[$b]}" -v ta="${times[$a]}" -v tb="${times[$b]}" \
  -v cpu=$(( cpu[b] - cpu[a] )) -v hz="$(getconf CLK_TCK)" 'BEGIN {
  printf "ticks per second from %.2f s to %.2f s: %.1f (ticks %d to %d); the exe had %.0f%% of a core then\n",
    ta / 1e9, tb / 1e9, (kb - ka) * 1e9 / (tb - ta), ka, kb, 100 * cpu / hz / ((tb - ta) / 1e9)
}'
