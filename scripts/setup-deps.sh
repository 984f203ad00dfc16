#!/usr/bin/env bash
# Installs the Debian packages one purpose needs:
#   setup-deps.sh run    build and run the finder (./run.sh): the compiler and
#                        build tools, and Qt 6 for the window when there is a
#                        display to show it on
#   setup-deps.sh test   build and run every test (./test.sh): the above, Qt
#                        always (the window tests run offscreen), and the test
#                        tooling: GoogleTest, the Windows cross-build and Wine,
#                        the packagers, Doxygen, the virtual display, the driver
#                        guest
# Checks with dpkg first, so that a second run costs nothing and needs no
# network.
set -euo pipefail
purpose=${1:-test}

build=(cmake ninja-build g++ pkg-config)
# The Linux window (Qt 6 Widgets) and a font for it.
window=(qt6-base-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core)
tests=(libgtest-dev googletest libbenchmark-dev socat clang libclang-rt-14-dev
       # The Windows build, its tests under Wine and its packages (and
       # Wine's own fonts for the Windows screenshot).
       g++-mingw-w64-x86-64 wine wine64 nsis unzip fonts-wine
       # The Debian package's dependencies and checks.
       dpkg-dev lintian
       # The serial layer's reference, built and checked by a test.
       doxygen
       # The virtual display, clicks and captures of the screenshots.
       fonts-liberation2 xvfb xauth xdotool x11-utils imagemagick
       # The guest with real kernel serial drivers: QEMU, Debian's own kernel
       # and modules, and what its initramfs is made of.
       qemu-system-x86 linux-image-amd64 busybox-static cpio)

case "$purpose" in
  run)
    packages=("${build[@]}")
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then packages+=("${window[@]}"); fi
    ;;
  test) packages=("${build[@]}" "${window[@]}" "${tests[@]}") ;;
  *)
    echo "usage: setup-deps.sh run|test" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
