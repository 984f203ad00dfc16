#!/usr/bin/env bash
# Runs the Win32 window tests under Wine with two simulated devices mapped as
# COM ports: a Kelvane scan tool at 38400 baud on COM5 and an ELM327
# interpreter without identifier at 9600 on COM6.
#   run-window-wine.sh <finder_window_tests.exe> <elm327-sim> [kelvane-finder.exe] [test arguments]
# WINEPREFIX etc. as for any Wine run (scripts/wine-env.sh).
set -u
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
sim=$2
shift 2
finder=
if [ $# -gt 0 ] && [ "${1%.exe}" != "$1" ]; then
  finder=$1
  shift
fi
scan_com=5
interp_com=6
if [ ! -x "$sim" ]; then
  echo "run-window-wine: no elm327-sim at $sim: build the default preset first" >&2
  exit 1
fi
work=$(mktemp -d /tmp/sio-window-wine.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$scan_com" /f >/dev/null 2>&1
  wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$interp_com" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# Wine needs the modem-line ioctls that Linux pseudo-terminals refuse.
cc -shared -fPIC -O2 -Wall -Werror -o "$work/pty_modem_shim.so" \
  "$here/../wine-shim/pty_modem_shim.c" -ldl || exit 1

start_device() {  # name, then elm327-sim options
  local name=$1
  shift
  "$sim" --link "$work/$name" "$@" >/dev/null </dev/null &
  pids+=($!)
  for _ in $(seq 200); do
    [ -e "$work/$name" ] && return 0
    sleep 0.01
  done
  echo "run-window-wine: the simulated device $name did not start" >&2
  exit 1
}
start_device scantool --scan-tool --baud 38400
start_device interpreter --baud 9600

# Only these two: a mapping an earlier run failed to remove would list a
# port whose device has gone, and Wine fails such a port's open as a device
# error, which ends the search.
wine reg delete 'HKLM\Software\Wine\Ports' /va /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$scan_com" /t REG_SZ /d "$work/scantool" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$interp_com" /t REG_SZ /d "$work/interpreter" /f >/dev/null 2>&1
# The port table is read when the server starts; links it made for earlier
# tables would keep old ports listed.
wineserver -k >/dev/null 2>&1
wineserver -w
find "${WINEPREFIX:?}/dosdevices" -maxdepth 1 -name 'com*' -type l -delete 2>/dev/null
wineserver -p >/dev/null 2>&1 </dev/null

export SIO_WINDOW_SCAN_TOOL_COM=$scan_com SIO_WINDOW_INTERPRETER_COM=$interp_com
if [ -n "$finder" ]; then
  SIO_FINDER_EXE="Z:$(echo "$finder" | tr / '\\')"
  export SIO_FINDER_EXE
fi
log="$work/log"
# Into a file, not a pipe: Wine's services inherit the output and outlive
# the test.
LD_PRELOAD="$work/pty_modem_shim.so" wine "$exe" "$@" >"$log" 2>&1 </dev/null
rc=$?
cat "$log"
if [ "$rc" -ne 0 ]; then
  echo "run-window-wine: $exe exited with $rc" >&2
  exit 1
fi
if ! grep -q '^\[  PASSED  \]' "$log" || grep -q '^\[  FAILED  \]' "$log"; then
  echo "run-window-wine: $exe did not report a clean GoogleTest summary" >&2
  exit 1
fi
