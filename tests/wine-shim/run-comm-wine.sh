#!/usr/bin/env bash
# Runs a Windows test executable under Wine with a pseudo-terminal pair mapped
# as two COM ports joined back to back, and the modem-line shim preloaded.
#   run-comm-wine.sh <test.exe> [test arguments]
# Needs socat and a host C compiler; WINEPREFIX etc. as for any Wine run.
# The test finds the pair through SIO_TEST_COM / SIO_TEST_PEER_COM (defaults
# 41 and 42). Creating the file named by SIO_TEST_UNPLUG ends socat, which
# hangs both ports up like a pulled adapter; a fresh pair then takes its place
# for the tests that follow.
set -u
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
shift
com=${SIO_TEST_COM:-41}
peer=${SIO_TEST_PEER_COM:-42}
work=$(mktemp -d /tmp/sio-comm-wine.XXXXXX)
watcher=
socat_pid=

cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
  [ -n "$watcher" ] && wait "$watcher" 2>/dev/null
  [ -s "$work/socat.pid" ] && kill "$(cat "$work/socat.pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if ! command -v socat >/dev/null || ! command -v cc >/dev/null; then
  # Without a pair the tests that need one skip themselves.
  echo "run-comm-wine: socat or cc missing: running without a serial pair" >&2
  exec bash "$here/../run-under-wine.sh" "$exe" "$@"
fi

cc -shared -fPIC -O2 -Wall -Werror -o "$work/pty_modem_shim.so" "$here/pty_modem_shim.c" -ldl ||
  exit 1

start_pair() {
  rm -f "$work/dev" "$work/peer"
  socat pty,raw,echo=0,link="$work/dev" pty,raw,echo=0,link="$work/peer" &
  socat_pid=$!
  echo "$socat_pid" >"$work/socat.pid"
  for _ in $(seq 100); do
    [ -e "$work/dev" ] && [ -e "$work/peer" ] && return 0
    sleep 0.02
  done
  echo "run-comm-wine: socat made no pty pair" >&2
  return 1
}
start_pair || exit 1

# Only this pair: mappings an earlier run failed to remove would list ports
# whose devices have gone.
wine reg delete 'HKLM\Software\Wine\Ports' /va /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$com" /t REG_SZ /d "$work/dev" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v "COM$peer" /t REG_SZ /d "$work/peer" /f >/dev/null 2>&1
wineserver -k
wineserver -w
# A persistent server of our own, silent: a pty hang-up sends it SIGHUP (the
# pty is its controlling terminal), on which it dumps its objects to stderr.
wineserver -p >/dev/null 2>&1 </dev/null

# Unplug requests: end socat, then put a fresh pair behind the same names.
(
  while :; do
    if [ -e "$work/unplug" ]; then
      rm -f "$work/unplug"
      kill "$(cat "$work/socat.pid")" 2>/dev/null
      sleep 0.1
      start_pair || exit 1
    fi
    sleep 0.01
  done
) &
watcher=$!

export SIO_TEST_COM=$com SIO_TEST_PEER_COM=$peer
export SIO_TEST_UNPLUG="Z:$(echo "$work/unplug" | tr / '\\')"
log="$work/log"
# Into a file, not a pipe: Wine's service processes inherit the output and
# outlive the test, and would hold a pipe open.
LD_PRELOAD="$work/pty_modem_shim.so" wine "$exe" "$@" >"$log" 2>&1
rc=$?
cat "$log"
wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$com" /f >/dev/null 2>&1
wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$peer" /f >/dev/null 2>&1
wineserver -k
if [ "$rc" -ne 0 ]; then
  echo "run-comm-wine: $exe exited with $rc" >&2
  exit 1
fi
if ! grep -q '^\[  PASSED  \]' "$log" || grep -q '^\[  FAILED  \]' "$log"; then
  echo "run-comm-wine: $exe did not report a clean GoogleTest summary" >&2
  exit 1
fi
