#!/usr/bin/env bash
# Checks that scripts/run32 takes the route it names: a probe run through it
# is its own process when the route is native and qemu's when it is qemu, and
# forcing the fallback really runs qemu; a program whose test is left out
# under qemu (MANDELBROT_SKIP_UNDER_QEMU) still runs on the native route and
# is skipped (exit code 77) on the qemu route. Reports the route the 32-bit
# tests take.
# Usage: route32_test.sh RUN32 PROBE
set -euo pipefail
run32=$1 probe=$2
route=$("$run32" --route)
echo "report: 32-bit route: $route"

fail=0
expect() {  # expect WHAT WANTED GOT
  if [ "$2" = "$3" ]; then
    echo "ok: $1 runs as '$3'"
  else
    echo "FAILED: $1 runs as '$3', not '$2'"
    fail=1
  fi
}
case "$route" in
  native*) wanted=$(basename "$probe" | cut -c1-15) ;;
  qemu*) wanted=qemu-i386-stati ;;
  *) echo "FAILED: unknown route '$route'"; exit 1 ;;
esac
expect "the probe by the route '${route%% *}'" "$wanted" "$("$run32" "$probe")"
expect "the probe with MANDELBROT_X86_32=qemu" qemu-i386-stati "$(MANDELBROT_X86_32=qemu "$run32" "$probe")"
export MANDELBROT_SKIP_UNDER_QEMU="a reason"
case "$route" in
  native*) expect "the probe left out under qemu, by the route 'native'" "$wanted" "$("$run32" "$probe")" ;;
esac
status=0
said=$(MANDELBROT_X86_32=qemu "$run32" "$probe") || status=$?
expect "the probe left out under qemu, with MANDELBROT_X86_32=qemu" "77: left out under qemu: a reason" "$status: $said"
exit $fail
