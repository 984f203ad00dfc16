#!/usr/bin/env bash
# Builds the fuzz targets (fuzz preset) and runs each for a while, from its
# committed seeds plus a scratch corpus. A target stops at the first
# disagreement with its reference and leaves the input under build/fuzz/crashes.
#   scripts/fuzz.sh            a few seconds per target (./test.sh)
#   scripts/fuzz.sh 300        five minutes per target
#   scripts/fuzz.sh 300 trace_log packet_manager
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-4}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do
    n=$(basename "$f" .cpp)
    targets+=("${n%_fuzz}")
  done
fi
mkdir -p build/fuzz/crashes
failed=0
for t in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$t
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  log=build/fuzz/$t.log
  if build/fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=build/fuzz/crashes/"$t"- "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $t ok, ${runs:-?} inputs in ${seconds}s"
  else
    echo "fuzz: $t FAILED (see $log)"
    grep -E 'check failed|ERROR|SUMMARY' -A3 "$log" | head -20 || true
    failed=1
  fi
done
exit $failed
