# Sourced by the Wine runner, the end-to-end run, the soak and scripts/mandelbrot:
# a project-local Wine prefix per architecture and a private virtual display.

WINE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINESERVER=/usr/lib/wine/wineserver

# wine32_route: decides once how 32-bit exes run here, by the first word of
# scripts/run32 --route, and sets WINE32_ROUTE (native or qemu) and WINE32_WHY.
# native: 32-bit Wine runs directly, and a 32-bit exe runs through WoW64 in the
# same 64-bit prefix as the 64-bit exes. qemu: 32-bit Wine runs under qemu-i386,
# registered with binfmt_misc for this run only (binfmt_i386_register).
wine32_route() {
  [ -n "${WINE32_ROUTE:-}" ] && return 0
  local line
  line=$("$WINE_ROOT/scripts/run32" --route)
  WINE32_ROUTE=${line%% *}
  WINE32_WHY=${line#* (}
  WINE32_WHY=${WINE32_WHY%)}
}

# skip REASON: ends a test as skipped (CTest's SKIP_RETURN_CODE 77), loudly.
skip() {
  printf '%s\n' "########################################" "SKIPPED: $*" "########################################" >&2
  exit 77
}

# wine_setup win64|win32: points Wine at a project-local prefix, creating it on
# first use (one creator at a time; what Wine said goes to the prefix's .log).
# 32-bit exes run as on 64-bit Windows, through WoW64 in a 64-bit prefix. On the
# qemu route that prefix is one of their own, created while qemu-i386 is
# registered: only the exe's process runs 32-bit Wine under qemu, and the
# prefix's services stay native and quick.
wine_setup() {
  local prefix=wine-win64
  [ "$1" = win32 ] && wine32_route
  if [ "$1" = win32 ] && [ "$WINE32_ROUTE" = qemu ]; then
    prefix=wine-wow64
    # qemu-i386 hands the guest all 4 GiB and, when an address is taken, puts
    # a mapping elsewhere instead of failing; Wine keeps such stray
    # reservations, and they crowd out the page it needs at 0x7ffe0000. The
    # 3 GiB that a 32-bit kernel gives leaves that page free.
    export QEMU_RESERVED_VA=0xc0000000
  fi
  export WINEARCH=win64 WINEPREFIX=$WINE_ROOT/build/$prefix
  export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
  WINE=/usr/lib/wine/wine64
  mkdir -p "$WINE_ROOT/build"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "creating the Wine prefix $WINEPREFIX" >&2
      # Without the lock's descriptor: Wine's services outlive wineboot, and
      # one left behind by an interrupted run would hold the lock for good.
      WINEDEBUG=err+all timeout 600 "$WINE" wineboot -i >"$WINEPREFIX.log" 2>&1 9>&- || true
      wine_end
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Ends the prefix's Wine session: waits for its processes to finish and, after
# a minute, ends those still there (under qemu some services never finish),
# each by its process id.
wine_end() {
  timeout 60 "$WINESERVER" -w 2>/dev/null && return 0
  echo "ending the Wine processes left in $WINEPREFIX" >&2
  local proc
  for proc in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && kill "${proc#/proc/}" 2>/dev/null
  done
  timeout 10 "$WINESERVER" -w 2>/dev/null || true
}

# wine_exe_pid EXE: the Linux process that runs EXE on this run's display. A
# 64-bit exe runs in the process that "$WINE" started; a 32-bit one in a
# process of its own that Wine starts for it. Waits up to 10 s for it.
wine_exe_pid() {
  local name proc i
  name=$(basename "$1")
  for i in $(seq 100); do
    for proc in /proc/[0-9]*; do
      [ "$(cat "$proc/comm" 2>/dev/null)" = "${name:0:15}" ] &&
        tr '\0' '\n' 2>/dev/null <"$proc/environ" | grep -qxF "DISPLAY=$DISPLAY" &&
        { echo "${proc#/proc/}"; return 0; }
    done
    sleep 0.1
  done
  return 1
}

# xvfb_start WxHxDEPTH: starts a virtual X server on a free display number and
# exports DISPLAY. The caller stops it with xvfb_stop.
xvfb_start() {
  local numberFile
  numberFile=$(mktemp)
  Xvfb -displayfd 9 -screen 0 "$1" -nolisten tcp 9>"$numberFile" 2>/dev/null &
  XVFB_PID=$!
  local i
  for i in $(seq 100); do
    [ -s "$numberFile" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || { echo "Xvfb did not start" >&2; return 1; }
    sleep 0.1
  done
  export DISPLAY=:$(tr -d '\n' <"$numberFile")
  rm -f "$numberFile"
}

# Waits for this run's Wine processes first: they hold the display.
xvfb_stop() {
  [ -n "${XVFB_PID:-}" ] || return 0
  wine_end
  kill "$XVFB_PID" 2>/dev/null || true
  wait "$XVFB_PID" 2>/dev/null || true
}

# On the qemu route i386 ELF files, 32-bit Wine included, go to qemu-i386
# through binfmt_misc while a 32-bit run lasts. The handler slows 64-bit Wine
# prefixes down, hence only for that run.
BINFMT=/proc/sys/fs/binfmt_misc
binfmt_i386_register() {
  [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" || return 1
  if [ -e "$BINFMT/qemu-i386" ]; then
    echo "binfmt_misc: qemu-i386 is already registered; leaving it as it is" >&2
    return 0
  fi
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    >"$BINFMT/register" || return 1
  BINFMT_REGISTERED=1
}

# wine32_prepare: makes 32-bit Wine runnable by the route for this run; on the
# qemu route that needs root. Returns 1 with the reason in WINE32_UNAVAILABLE.
wine32_prepare() {
  wine32_route
  [ "$WINE32_ROUTE" = qemu ] || return 0
  # Tells the programs that they run emulated (the render tests then trust
  # CPUID alone: /proc/cpuinfo describes the host, not the emulated processor).
  export MANDELBROT_EMULATED=qemu-i386
  if [ "$(id -u)" != 0 ]; then
    WINE32_UNAVAILABLE="32-bit Wine needs qemu-i386 registered with binfmt_misc here, which needs root"
    return 1
  fi
  binfmt_i386_register && return 0
  WINE32_UNAVAILABLE="could not register qemu-i386 with binfmt_misc"
  return 1
}

binfmt_i386_unregister() {
  if [ "${BINFMT_REGISTERED:-}" = 1 ]; then
    echo -1 >"$BINFMT/qemu-i386"
    BINFMT_REGISTERED=
  fi
}
