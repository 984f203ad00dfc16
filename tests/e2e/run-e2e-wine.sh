#!/usr/bin/env bash
# Runs the end-to-end cases (a Linux test program) against the Windows
# finder under Wine: each case's simulated devices are mapped as COM ports.
#   run-e2e-wine.sh <e2e_tests> <kelvane-finder-headless.exe> [test arguments]
# WINEPREFIX etc. as for any Wine run (scripts/wine-env.sh).
set -u
here=$(cd "$(dirname "$0")" && pwd)
driver=$1
exe=$2
shift 2
work=$(mktemp -d /tmp/sio-e2e-wine.XXXXXX)
trap 'rm -rf "$work"; wineserver -k >/dev/null 2>&1' EXIT
# Wine needs the modem-line ioctls that Linux pseudo-terminals refuse.
cc -shared -fPIC -O2 -Wall -Werror -o "$work/pty_modem_shim.so" \
  "$here/../wine-shim/pty_modem_shim.c" -ldl || exit 1
SIO_E2E_WINE_EXE="$exe" SIO_E2E_WINE_SHIM="$work/pty_modem_shim.so" \
  "$driver" "$@" >"$work/log" 2>&1
rc=$?
cat "$work/log"
if [ "$rc" -ne 0 ]; then
  echo "run-e2e-wine: $driver exited with $rc" >&2
  exit 1
fi
grep -q '^\[  PASSED  \]' "$work/log" && ! grep -q '^\[  FAILED  \]' "$work/log"
