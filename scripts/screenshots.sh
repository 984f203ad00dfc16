#!/usr/bin/env bash
# Screenshots of the finder's windows after the demo search, for the README:
#   docs/finder-linux.png    the Qt window, on a virtual X display (Xvfb)
#   docs/finder-windows.png  the Win32 window under Wine (windows_shot below)
# Each one: two simulated devices as in ./run.sh, the window opened, Start
# clicked, the search awaited, the window captured from the X server.
#   scripts/screenshots.sh [linux|windows|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}

if [ -z "${KELVANE_SHOT_DISPLAY:-}" ]; then
  scripts/setup-deps.sh test
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  cmake --preset default >/dev/null
  cmake --build --preset default --target kelvane-finder elm327-sim -j 2
  if [ "$which" != linux ]; then
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw --target kelvane-finder -j 2
  fi
  # Again, on a display of its own.
  exec env KELVANE_SHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" "$0" "$which"
fi

build=build/default
work=$(mktemp -d /tmp/kelvane-shot.XXXXXX)
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
  "$build/tools/elm327-sim/elm327-sim" --link "$work/$name" --log "$work/$name.log" "$@" \
    >"$work/$name.path" &
  pids+=($!)
  for _ in $(seq 200); do
    [ -e "$work/$name" ] && return 0
    sleep 0.01
  done
  echo "screenshots: the simulated device $name did not start" >&2
  exit 1
}

# The search is over once the last port has had its last probe: the
# interpreter (probed last) has then received every command of the three
# speeds and the identifier command (3 x 11 + 18 bytes, one log line each).
await_search() {
  for _ in $(seq 600); do
    [ "$(wc -l <"$work/interpreter.log")" -ge 51 ] && break
    sleep 0.1
  done
  sleep 2  # the port's close and the last line
}

# Clicks the Start button of the window named $1 (client coordinates of
# the button's centre) and waits for the search.
click_start() {
  local id
  id=$(xdotool search --sync --onlyvisible --name "$1" | head -n 1)
  sleep 1
  xdotool mousemove --window "$id" 164 370 click 1
  await_search
  echo "$id"
}

linux_shot() {
  start_device scantool --scan-tool --baud 38400
  start_device interpreter --baud 9600
  SIO_PORTS="5=$work/scantool,6=$work/interpreter" "$build/finder/kelvane-finder" &
  pids+=($!)
  local id
  id=$(click_start "^Kelvane Finder")
  import -window "$id" docs/finder-linux.png
  echo "screenshots: docs/finder-linux.png"
}

# The Windows window under Wine, on an X server of its own with a Wine
# desktop (so the window has its title bar).
windows_shot() {
  scripts/screenshot-windows.sh docs/finder-windows.png
}

case "$which" in
  linux) linux_shot ;;
  windows) windows_shot ;;
  all)
    linux_shot
    windows_shot
    ;;
  *)
    echo "usage: scripts/screenshots.sh [linux|windows|all]" >&2
    exit 2
    ;;
esac
