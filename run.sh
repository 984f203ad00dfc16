#!/usr/bin/env bash
# Sets up, builds and runs the finder.
#   ./run.sh          the demo: two simulated devices on pseudo-terminals (a
#                     Kelvane scan tool answering at 38400 baud, an ELM327
#                     interpreter without identifier at 9600), searched by the
#                     finder
#   ./run.sh --real   the search over this machine's own serial ports
# The window is used when there is a display and the window program exists;
# otherwise the headless runner prints the log.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup-deps.sh run
# Only what runs here: the two programs (the window where Qt is there) and
# the simulated devices of the demo.
cmake --preset release >/dev/null
build=build/release
targets=(kelvane-finder-headless elm327-sim)
# The window where there is a display to show it on and Qt 6 was found.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] &&
  ninja -C "$build" -t targets all | grep -q '^kelvane-finder:'; then
  targets+=(kelvane-finder)
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

headless=$build/finder/kelvane-finder-headless
window=$build/finder/kelvane-finder
finder=("$headless")
windowed=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$window" ]; then
  finder=("$window")
  windowed=1
fi

if [ "${1:-}" = "--real" ]; then
  unset SIO_PORTS
  exec "${finder[@]}"
fi

work=$(mktemp -d /tmp/kelvane-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_device() {  # name, then elm327-sim options
  local name=$1
  shift
  "$build/tools/elm327-sim/elm327-sim" --link "$work/$name" "$@" >"$work/$name.path" &
  pids+=($!)
  for _ in $(seq 200); do
    [ -e "$work/$name" ] && return 0
    sleep 0.01
  done
  echo "run.sh: the simulated device $name did not start" >&2
  exit 1
}
start_device scantool --scan-tool --baud 38400
start_device interpreter --baud 9600

echo "Demo: COM5 is a simulated Kelvane scan tool (38400 baud), COM6 an ELM327"
echo "interpreter without identifier (9600 baud). ./run.sh --real searches this"
echo "machine's own ports."
if [ "$windowed" = 1 ]; then
  echo "Press Start in the Kelvane Finder window; close the window to end the demo."
fi
echo
SIO_PORTS="5=$work/scantool,6=$work/interpreter" "${finder[@]}"
