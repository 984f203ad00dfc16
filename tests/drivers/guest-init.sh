#!/bin/busybox sh
# /init of the driver guest: loads the real serial drivers, makes the
# devices a user has (USB adapters, a CDC-ACM device, a Bluetooth port bound
# to a device that is not there), then runs the finder and the serial
# layer's checks as a user in group dialout. Everything the host judges
# comes out on the console between "== " markers; files go base64-encoded,
# so that console line endings and kernel messages cannot change them.
/bin/busybox --install -s /bin
export PATH=/bin:/opt
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp
chmod 1777 /tmp

say() { echo "$*" >/dev/console; }
emit() {  # name, file
  say "== file $1"
  base64 "$2" >/dev/console
  say "== end $1"
}
as_user() { su mech -s /bin/sh -c "$*"; }

for m in $(cat /lib/modules/order); do
  # The gadget's serial number is what the ACM device reports.
  args=""
  [ "$m" = g_serial.ko ] && args="iSerialNumber=KLVACM01"
  insmod "/lib/modules/$m" $args 2>/dev/null || say "guest: insmod $m failed"
done

# A Bluetooth port bound to an address nobody answers at (no adapter at all).
driver-check rfcomm-bind 0 00:1A:7D:DA:71:13 1 >/dev/console

wanted="ttyUSB0 ttyUSB1 ttyUSB2 ttyUSB3 ttyACM0 ttyGS0 rfcomm0"
for i in $(seq 200); do
  missing=""
  for n in $wanted; do [ -e "/dev/$n" ] || missing="$missing $n"; done
  [ -z "$missing" ] && break
  sleep 0.1
done
[ -n "$missing" ] && say "guest: devices missing:$missing"

# As a distribution's rules make them: serial devices in group dialout; one
# adapter kept from the user, as on a machine where the group was not set.
for n in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyGS* /dev/rfcomm*; do
  chgrp dialout "$n"
  chmod 660 "$n"
done
chgrp root /dev/ttyUSB3
chmod 600 /dev/ttyUSB3

say "== devices"
for n in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/rfcomm*; do
  b=${n#/dev/}
  driver=$(basename "$(readlink /sys/class/tty/$b/device/driver 2>/dev/null)" 2>/dev/null)
  say "device $b type=$(cat /sys/class/tty/$b/type 2>/dev/null) driver=$driver"
done
say "console $(cat /sys/class/tty/console/active)"

# What each port is, as the user lists them (all four adapters still in).
as_user "kelvane-finder-headless --list-ports" >/tmp/ports.txt 2>/tmp/ports.err
say "== list-ports exit $?"
as_user "kelvane-finder-headless --list-ports --json" >/tmp/ports.json 2>>/tmp/ports.err
say "== list-ports-json exit $?"
emit ports.txt /tmp/ports.txt
emit ports.json /tmp/ports.json
emit ports.err /tmp/ports.err

# The gadget's far end answers as a scan tool; its host side is ttyACM0.
driver-check serve-scan-tool /dev/ttyGS0 &

console_before=$(stty -F /dev/ttyS0 -g)

# The search, as the user would run it. The host pulls the third FTDI
# adapter out while it is being probed, when the guest says so.
as_user "kelvane-finder-headless --color=never --report /tmp/report.json" \
  >/tmp/finder.out 2>/tmp/finder.err &
finder=$!
for i in $(seq 1200); do
  grep -q "Looking on COM35\.\.\." /tmp/finder.out 2>/dev/null && break
  kill -0 $finder 2>/dev/null || break
  sleep 0.05
done
say "== unplug ftdi3"
wait $finder
say "== finder exit $?"
emit finder.out /tmp/finder.out
emit finder.err /tmp/finder.err
emit report.json /tmp/report.json

console_after=$(stty -F /dev/ttyS0 -g)
if [ "$console_before" = "$console_after" ]; then
  say "check console-settings: ok"
else
  say "check console-settings: FAIL $console_before -> $console_after"
fi

# The serial layer on each kind of driver.
for n in ttyS1 ttyUSB0 ttyACM0; do
  say "== check lines $n"
  as_user "driver-check lines /dev/$n" >/dev/console 2>&1
  say "== check exclusive $n"
  as_user "driver-check exclusive /dev/$n" >/dev/console 2>&1
done
for n in ttyS1 ttyUSB1; do
  as_user "driver-check speed /dev/$n 57600 1500" >/dev/console 2>&1
done
# The words a refused open is reported in.
as_user "driver-check open-error /dev/rfcomm0" >/dev/console 2>&1
# What an idle open port costs a USB adapter (the host counts its requests).
as_user "driver-check idle /dev/ttyUSB0 5000" >/dev/console 2>&1
# The disconnect of the gadget is a hang-up on ttyACM0, as an unplug is.
driver-check hangup /dev/ttyACM0 /sys/class/udc/dummy_udc.0/soft_connect disconnect \
  >/dev/console 2>&1

say "== guest done"
poweroff -f
