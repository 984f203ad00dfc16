#!/usr/bin/env bash
# Installs the Debian packages the build and tests need. Checks with dpkg
# first, so that a second run costs nothing and needs no network.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev googletest libbenchmark-dev
          g++-mingw-w64-x86-64 wine wine64 socat clang libclang-rt-14-dev
          # The Linux window (Qt 6 Widgets), its fonts, and the virtual display,
          # clicks and captures of the screenshots.
          qt6-base-dev qt6-qpa-plugins libgl-dev fonts-liberation2 fonts-dejavu-core
          xvfb xauth xdotool x11-utils imagemagick
          # The guest with real kernel serial drivers: QEMU, Debian's own kernel
          # and modules, and what its initramfs is made of.
          qemu-system-x86 linux-image-amd64 busybox-static cpio)
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
