#!/usr/bin/env bash
# Sets up and builds everything, then says what there is to run. It becomes
# the finder's launcher once the finder exists.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)"
cat <<MSG

Built in build/default:
  tools/elm327-sim/elm327-sim     a simulated ELM327 / scan-tool device on a pseudo-terminal
  tests/unit_tests                the unit tests (./test.sh runs every test)
  tests/integration_tests         the pseudo-terminal tests
  bench/wait_ticks_cpu            the processor time a one-second WaitTicks costs
  bench/com_select_form_create    how long the Select Port form takes to list ports 1-50
The finder itself is not built yet; the serial layer is the library target 'sio'.
MSG
