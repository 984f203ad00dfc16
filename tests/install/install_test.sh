#!/usr/bin/env bash
# The serial layer as another program sees it: installed to a scratch
# prefix, both examples configured and built against that prefix alone
# (find_package(sio)), then run against a simulated scan tool on a
# pseudo-terminal.
#   install_test.sh <build dir> <source dir> <elm327-sim> <c++ compiler> [<cxx flags> <link flags>]
set -euo pipefail
build=$1 source=$2 sim=$3 cxx=$4
# The build's own compile and link flags: a sanitized library needs its
# sanitizer in the programs that link it.
cxxflags=${5:-} ldflags=${6:-}
work=$(mktemp -d)
simpid=""
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
# Only public headers are installed, and each stands on its own with the
# prefix as the only include path.
inc=$work/prefix/include
installed=$(cd "$inc" && find . -name '*.h' | sed 's|^\./||' | sort)
for h in sio/serial/port/com_port.h sio/serial/packet/data_packet.h sio/platform/message_loop.h; do
  grep -qx "$h" <<<"$installed" || fail "header include/$h not installed"
done
for h in sio/serial/dispatch/io_queue.h sio/serial/dispatch/dispatch_thread.h \
  sio/serial/dispatch/device_dispatcher.h sio/platform/comm.h; do
  grep -qx "$h" <<<"$installed" && fail "internal header include/$h installed"
done
grep -E '_(posix|win32)\.h$' <<<"$installed" && fail "a system-specific header is installed"
for h in $installed; do
  # A row table (no include guard) is only whole inside the header that includes it.
  grep -q '^#pragma once' "$inc/$h" || continue
  # shellcheck disable=SC2086  # the flags are words
  printf '#include <%s>\n' "$h" | "$cxx" -std=c++20 $cxxflags -fsyntax-only -I "$inc" -x c++ - \
    >"$work/header.log" 2>&1 || { cat "$work/header.log"; fail "$h does not compile on its own"; }
done
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$work/prefix/lib/cmake/sio/sioConfigVersion.cmake")
project_version=$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")
[ -n "$version" ] && [ "$version" = "$project_version" ] ||
  fail "package version '$version', project version '$project_version'"

for example in send_command watch_packet; do
  cmake -S "$source/examples/$example" -B "$work/$example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/$example.log" 2>&1 ||
    { cat "$work/$example.log"; fail "$example does not configure against the package"; }
  cmake --build "$work/$example" >>"$work/$example.log" 2>&1 ||
    { cat "$work/$example.log"; fail "$example does not build against the package"; }
done
send=$work/send_command/send_command
watch=$work/watch_packet/watch_packet
# The same program through pkg-config; the layer's version is the same in
# its CMake package, its pkg-config file and its header.
pc=$work/prefix/lib/pkgconfig
pc_version=$(PKG_CONFIG_PATH=$pc pkg-config --modversion sio) || fail "no sio.pc"
[ "$pc_version" = "$version" ] || fail "sio.pc says '$pc_version', the CMake package '$version'"
grep -q "^#define SIO_VERSION_STRING \"$version\"$" "$inc/sio/serial/support/version.h" ||
  fail "serial/support/version.h does not say $version"
# shellcheck disable=SC2046  # the flags are words
"$cxx" -std=c++20 $cxxflags "$source/examples/send_command/send_command.cpp" -o "$work/send_pc" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs sio) $ldflags >"$work/pc.log" 2>&1 ||
  { cat "$work/pc.log"; fail "send_command does not build with pkg-config"; }
# So does the README's program.
awk '/^```cpp$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$source/README.md" \
  >"$work/readme.cpp"
# shellcheck disable=SC2046  # the flags are words
"$cxx" -std=c++20 $cxxflags "$work/readme.cpp" -o "$work/readme" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs sio) $ldflags >"$work/readme.log" 2>&1 ||
  { cat "$work/readme.log"; fail "the README's program does not build against the package"; }

# Wrong use is answered with the usage text and status 2.
set +e
"$send" 2>"$work/usage"; rc=$?
set -e
[ $rc -eq 2 ] && grep -q '^usage: send_command <port number> <command>' "$work/usage" ||
  fail "send_command without arguments: status $rc, '$(cat "$work/usage")'"

"$sim" --baud 0 >"$work/sim.out" &
simpid=$!
for _ in $(seq 50); do
  [ -s "$work/sim.out" ] && break
  sleep 0.1
done
pty=$(head -n 1 "$work/sim.out")
[ -n "$pty" ] || fail "the simulator gave no terminal"
export SIO_PORTS="5=$pty"

for program in "$send" "$work/send_pc"; do
  reply=$("$program" 5 AT@1) || fail "$program failed: '$reply'"
  grep -qx 'OBDII to RS232 Interpreter' <<<"$reply" || fail "$program replied '$reply'"
done
packets=$("$watch" 5 ELM $'\r' 1 ATI) || fail "watch_packet saw no packet"
[ "$packets" = 'packet: ELM327 v1.5\r' ] || fail "watch_packet printed '$packets'"
# A port that is not there is an error, not a hang.
set +e
"$send" 6 ATI >/dev/null 2>"$work/missing"; rc=$?
set -e
[ $rc -eq 1 ] && grep -q '^send_command: ' "$work/missing" ||
  fail "send_command on a missing port: status $rc, '$(cat "$work/missing")'"
echo "install test: package $version installed, both examples built and answered"
