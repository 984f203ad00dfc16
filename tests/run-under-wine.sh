#!/usr/bin/env bash
# Runs one Windows test executable under Wine and judges it by GoogleTest's own
# summary as well as the exit code: under Wine a crash can exit 0.
# The output goes to a file, not a pipe: Wine's own background services
# inherit the descriptors and would hold a pipe open long after the test ended.
set -u
exe=$1; shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
wine "$exe" "$@" >"$log" 2>&1 </dev/null
rc=$?
cat "$log"
if [ "$rc" -ne 0 ]; then
  echo "run-under-wine: $exe exited with $rc" >&2
  exit 1
fi
if ! grep -q '^\[  PASSED  \]' "$log" || grep -q '^\[  FAILED  \]' "$log"; then
  echo "run-under-wine: $exe did not report a clean GoogleTest summary" >&2
  exit 1
fi
