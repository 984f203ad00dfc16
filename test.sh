#!/usr/bin/env bash
# Sets up, builds and runs every test: the Linux suite with ctest, then the
# Windows build under Wine. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/setup-deps.sh test

echo "== Linux build (default preset)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
echo "== Linux tests"
ctest --preset default -j "$jobs"
echo "== Fuzz targets, a few seconds each (fuzz preset: clang, so the thread-safety analysis too)"
scripts/fuzz.sh 4

echo "== Windows build (mingw preset)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
echo "== Windows tests under Wine"
export SIO_WINE_BUILD="$PWD/build/mingw"
# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
wine_setup
trap wine_teardown EXIT
ctest --preset mingw
echo "== End-to-end searches of the Windows finder under Wine"
bash tests/e2e/run-e2e-wine.sh build/default/tests/e2e_tests \
  build/mingw/finder/kelvane-finder-headless.exe
echo "== Windows packages (mingw-release preset: the two programs, their ZIP and installer) under Wine"
cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release -j "$jobs"
cpack --preset mingw-release
bash tests/packages/windows-packages-test.sh build/mingw-release build/mingw/tests/probe-program.exe \
  build/default/tools/elm327-sim/elm327-sim
