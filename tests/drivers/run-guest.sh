#!/usr/bin/env bash
# The finder and the serial layer on real kernel serial drivers: boots
# Debian's own kernel under QEMU with 16550A UARTs (ISA and PCI), four FTDI
# adapters (ftdi_sio on xHCI, serial numbers KLVFT001-4), a CDC-ACM device
# (cdc_acm over dummy_hcd + g_serial inside the guest), a Bluetooth rfcomm port bound to a device that
# is not there and the kernel console on ttyS0; simulated devices on the
# host answer behind the UARTs and adapters. The guest runs the finder and
# driver-check as a user in group dialout; this script judges what it says.
#
#   tests/drivers/run-guest.sh BUILD_DIR    (after building kelvane-finder-headless,
#                                            elm327-sim and driver-check there)
# Leaves everything it saw in BUILD_DIR/driver-guest/. Exit 0 when every
# check passed.
set -euo pipefail
build=$(cd "${1:?usage: run-guest.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
finder=$build/finder/kelvane-finder-headless
sim=$build/tools/elm327-sim/elm327-sim
check=$build/tests/driver-check
work=$build/driver-guest
rm -rf "$work"
mkdir -p "$work/root"

# The newest installed kernel whose modules are there too (the guest loads
# modules of the very same build).
kver=""
for k in /boot/vmlinuz-*; do
  v=${k#/boot/vmlinuz-}
  [ -e "/lib/modules/$v/kernel/drivers/usb/serial/ftdi_sio.ko" ] && kver=$v
done
[ -n "$kver" ] || { echo "run-guest: no kernel with its modules (linux-image-amd64)" >&2; exit 1; }
echo "run-guest: kernel $kver"

# ---- the initramfs
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,opt,lib/modules}
cp /bin/busybox "$root/bin/busybox"
for m in xhci_pci ftdi_sio cdc_acm dummy_hcd usb_f_acm g_serial rfcomm; do
  modprobe --show-depends -S "$kver" "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' >"$work/modules.txt"
# g_serial asks for its function module by name, which needs modprobe: the
# function goes first.
grep -v '/g_serial\.ko' "$work/modules.txt" >"$work/order.txt"
grep '/g_serial\.ko' "$work/modules.txt" >>"$work/order.txt"
while read -r f; do
  cp "$f" "$root/lib/modules/"
  basename "$f"
done <"$work/order.txt" >"$root/lib/modules/order"
for program in "$finder" "$check"; do
  cp "$program" "$root/opt/"
  ldd "$program" | awk '/=>/ {print $3} /ld-linux/ {print $1}' | while read -r lib; do
    [ -e "$lib" ] || continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
# Programs from /opt see the real lib paths; the loader must be where the
# binaries name it.
printf 'root:x:0:0:root:/tmp:/bin/sh\nmech:x:1000:1000:mechanic:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:mech\nmech:x:1000:\n' >"$root/etc/group"
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# ---- the devices behind the UARTs and adapters
pids=()
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
start_device() {  # name, then elm327-sim options
  local name=$1
  shift
  "$sim" --log "$work/$name.rx" "$@" >"$work/$name.path" &
  pids+=($!)
  for _ in $(seq 300); do
    [ -s "$work/$name.path" ] && return 0
    sleep 0.01
  done
  echo "run-guest: the simulated device $name did not start" >&2
  exit 1
}
start_device isa --scan-tool --baud 38400        # ttyS1: a scan tool behind a 16550A
start_device pci --baud 115200 --id ELM327_CLONE # ttyS2: an interpreter that has its identifier
start_device ftdi1 --baud 9600                   # ttyUSB0: an interpreter without one
start_device ftdi2 --scan-tool --baud 115200     # ttyUSB1: a scan tool at 115200
start_device ftdi3 --baud 38400                  # ttyUSB2: pulled out while probed
start_device ftdi4 --baud 38400                  # ttyUSB3: the user may not open it
path() { head -n1 "$work/$1.path"; }

# ---- the guest
console=$work/console.log
: >"$work/marks.txt"
: >"$console"
monitor=$work/monitor.sock
accel=tcg
# KVM where it really works; on machines where /dev/kvm is there but hangs
# the guest, SIO_GUEST_ACCEL=tcg (the default) keeps to emulation.
[ "${SIO_GUEST_ACCEL:-tcg}" = kvm ] && accel=kvm
started=$(date +%s%N)
qemu-system-x86_64 -accel "$accel" -m 384 -display none -no-reboot -nodefaults \
  -bios /usr/share/qemu/qboot.rom \
  -kernel "/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1" \
  -chardev file,id=con,path="$console" -serial chardev:con \
  -chardev serial,id=isa,path="$(path isa)" -device isa-serial,chardev=isa \
  -chardev serial,id=pci,path="$(path pci)" -device pci-serial,chardev=pci \
  -device qemu-xhci,id=xhci \
  -chardev serial,id=u1,path="$(path ftdi1)" -device usb-serial,chardev=u1,id=ftdi1,serial=KLVFT001 \
  -chardev serial,id=u2,path="$(path ftdi2)" -device usb-serial,chardev=u2,id=ftdi2,serial=KLVFT002 \
  -chardev serial,id=u3,path="$(path ftdi3)" -device usb-serial,chardev=u3,id=ftdi3,serial=KLVFT003 \
  -chardev serial,id=u4,path="$(path ftdi4)" -device usb-serial,chardev=u4,id=ftdi4,serial=KLVFT004 \
  -monitor unix:"$monitor",server,nowait \
  -trace usb_serial_handle_control -D "$work/qemu-trace.log" -msg timestamp=on \
  >"$work/qemu.out" 2>&1 &
qemu_pid=$!

monitor_say() { printf '%s\n' "$1" | socat - UNIX-CONNECT:"$monitor" >>"$work/monitor.out" 2>&1; }
# Follow the console: act on what the guest asks for, until it is done.
speeds=$work/host-speeds.txt
: >"$speeds"
deadline=$(($(date +%s) + ${SIO_GUEST_TIMEOUT:-240}))
unplugged=0
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ "$(date +%s)" -gt "$deadline" ]; then
    echo "run-guest: the guest did not finish in time" >&2
    break
  fi
  if [ "$unplugged" = 0 ] && grep -q '^== unplug ftdi3' "$console"; then
    unplugged=1
    monitor_say "device_del ftdi3"
  fi
  while read -r _ dev baud; do
    grep -q "^$dev " "$speeds" && continue
    case $dev in
      /dev/ttyS1) far=$(path isa) ;;
      /dev/ttyUSB1) far=$(path ftdi2) ;;
      *) continue ;;
    esac
    echo "$dev $baud $(stty -F "$far" speed 2>&1)" >>"$speeds"
  done < <(tr -d '\r' <"$console" | grep '^speed-set ' || true)
  # When the guest said what, in the trace's clock: the search's end and
  # the window in which an open port sat idle.
  for mark in "== finder exit" idle-begin idle-end; do
    if ! grep -q "^$mark" "$work/marks.txt" 2>/dev/null && grep -q "^$mark " "$console"; then
      echo "$mark $(date +%s.%N)" >>"$work/marks.txt"
    fi
  done
  sleep 0.05
done
wait "$qemu_pid" || true
qemu_pid=""
ended=$(date +%s%N)
echo "run-guest: the guest ran $(((ended - started) / 1000000)) ms"

tr -d '\r' <"$console" >"$work/console.txt"
# Each file the guest sent, decoded.
extract() {  # name
  awk -v n="$1" '$0 == "== file " n {on=1; next} $0 == "== end " n {on=0} on' \
    "$work/console.txt" | base64 -d >"$work/$1" 2>/dev/null || true
}
for f in finder.out finder.err report.json ports.txt ports.json ports.err; do extract "$f"; done

cleanup
trap - EXIT
bash "$here/judge-guest.sh" "$work"
