#!/usr/bin/env bash
# Judges what the driver guest said (tests/drivers/run-guest.sh leaves it in
# WORK): the finder's log, boxes and report, what reached the simulated
# devices, the serial layer's checks, the speeds the far ends saw and the
# requests an idle open port made of its USB adapter. Prints each verdict;
# exit 1 when any failed.
set -uo pipefail
work=${1:?usage: judge-guest.sh WORK}
failures=0
pass() { echo "guest: ok   $*"; }
fail() {
  echo "guest: FAIL $*"
  failures=$((failures + 1))
}
console=$work/console.txt

# ---- the search
exit_line=$(grep '^== finder exit ' "$console" | tail -n1)
[ "$exit_line" = "== finder exit 0" ] && pass "the search ran to its end" ||
  fail "the search ended with '${exit_line#== }'"

# The port list: real UARTs only (ttyS3 is the kernel's phantom), not the
# console (ttyS0); adapters, ACM and rfcomm numbered by their fixed blocks.
# Each device found at its own speed: the scan tool behind the ISA 16550A
# at 38400, the one behind an FTDI at 115200, the one behind CDC-ACM (whose
# far end has no speed) at all three; the rest nothing. The adapter pulled
# out during its first probe costs that line only.
expected=$(mktemp)
trap 'rm -f "$expected"' EXIT
{
  printf '= Retrieving list of available COM ports: =\n'
  for entry in "COM2 (/dev/ttyS1)" "COM3 (/dev/ttyS2)" "COM33 (/dev/ttyUSB0)" \
    "COM34 (/dev/ttyUSB1)" "COM35 (/dev/ttyUSB2)" "COM36 (/dev/ttyUSB3)" \
    "COM65 (/dev/ttyACM0)" "COM97 (/dev/rfcomm0)" "COM449 (/dev/ttyGS0)"; do
    printf '   %s\n' "$entry"
  done
  for baud in 115200 38400 9600; do
    printf '\n\n= Attempting to connect at %s baud =\n' "$baud"
    for port in 2 3 33 34 35 36 65 97 449; do
      result=nothing
      case "$baud:$port" in
        115200:34 | 38400:2 | *:65) result='found scan tool! ' ;;
      esac
      printf '  Looking on COM%s...%s\n' "$port" "$result"
    done
  done
  printf '\n\nEnd of search.\n'
} >"$expected"
if cmp -s "$expected" "$work/finder.out"; then
  pass "the log: port list and one line per port and speed, as the devices are"
else
  fail "the log differs from what the devices give:"
  diff "$expected" "$work/finder.out" | sed 's/^/    /'
fi

# The boxes. The pulled adapter's probe may end its commands in any of
# these, depending on when the unplug lands; from the next port on the
# boxes are fixed: the user may not open COM36, the Bluetooth port does not
# answer, and the pulled adapter is gone for the later speeds.
closed='[message box] COM Port Closed'
perm="[message box] Unable to open COM36 (/dev/ttyUSB3): permission denied. Add your user to the device's group (usually 'dialout': sudo usermod -aG dialout \$USER), then log in again."
bt='[message box] Unable to open. COM97 did not answer in time (a Bluetooth port whose device is off or out of range?)'
gone='[message box] Unable to open. Specified COM port does not exist'
{
  for round in 1 2 3; do
    [ "$round" -gt 1 ] && printf '%s\n%s\n%s\n%s\n' "$gone" "$closed" "$closed" "$closed"
    printf '%s\n%s\n%s\n%s\n' "$perm" "$closed" "$closed" "$closed"
    printf '%s\n%s\n%s\n%s\n' "$bt" "$closed" "$closed" "$closed"
  done
} >"$expected"
first_perm=$(grep -nxF "$perm" "$work/finder.err" | head -n1 | cut -d: -f1)
if [ -z "$first_perm" ]; then
  fail "no permission box for COM36"
else
  pulled_ok=1
  while IFS= read -r line; do
    case "$line" in
      "$closed" | "$gone" | "[message box] Device read error") ;;
      *) pulled_ok=0 ;;
    esac
  done < <(head -n $((first_perm - 1)) "$work/finder.err")
  [ "$pulled_ok" = 1 ] && pass "the pulled adapter's probe: only its own boxes" ||
    fail "the pulled adapter's probe said: $(head -n $((first_perm - 1)) "$work/finder.err")"
  if tail -n +"$first_perm" "$work/finder.err" | cmp -s "$expected" -; then
    pass "the boxes: permission, the Bluetooth time-out, the pulled adapter gone; the search goes on"
  else
    fail "the boxes differ:"
    tail -n +"$first_perm" "$work/finder.err" | diff "$expected" - | sed 's/^/    /'
  fi
fi

# The identifier reaches the interpreter behind the first FTDI once and
# whole: decoded from the simulator's log of every byte it received.
received=$(awk '{ v = 0; h = tolower($2)
                  for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
                  printf "%c", v }' "$work/ftdi1.rx" | tr '\r' '\n')
count=$(printf '%s\n' "$received" | grep -cx 'AT@3 ELM327_CLONE')
[ "$count" = 1 ] && pass "the identifier reached the FTDI interpreter once, whole" ||
  fail "the identifier reached the FTDI interpreter $count times"
grep -q '"port": "COM33", "device": "/dev/ttyUSB0", "baud": 9600, "result": "nothing", .*"identifier_sent": true' \
  "$work/report.json" && pass "the report says the identifier went to COM33 at 9600" ||
  fail "the report does not say the identifier went to COM33 at 9600"

# ---- what each port is (--list-ports, from sysfs as the user reads it):
# the FTDI adapters with their ids and serial numbers, the ACM device with
# the gadget's, the Bluetooth port with its remote address.
for run in list-ports list-ports-json; do
  line=$(grep "^== $run exit " "$console" | tail -n1)
  [ "$line" = "== $run exit 0" ] && pass "$run exits 0" || fail "$run: '${line:-no exit seen}'"
done
[ -s "$work/ports.err" ] && fail "--list-ports wrote to stderr: $(cat "$work/ports.err")"
ftdi='usb 0403:6001 "QEMU USB SERIAL"'
# The columns are aligned with two blanks or more; one blank apart here.
{
  printf '%s\n' 'COM2 /dev/ttyS1 uart - - -' 'COM3 /dev/ttyS2 uart - - -'
  for k in 0 1 2 3; do printf 'COM%s /dev/ttyUSB%s %s KLVFT00%s\n' $((33 + k)) $k "$ftdi" $((k + 1)); done
  printf '%s\n' 'COM65 /dev/ttyACM0 acm 0525:a4a7 "Gadget Serial v2.4" KLVACM01' \
    'COM97 /dev/rfcomm0 bluetooth - - - 00:1A:7D:DA:71:13' 'COM449 /dev/ttyGS0 virtual - - -'
} >"$expected"
if sed -E 's/   */ /g' "$work/ports.txt" | cmp -s "$expected" -; then
  pass "--list-ports: each port's kind, ids, product and serial number"
else
  fail "--list-ports differs:"
  sed -E 's/   */ /g' "$work/ports.txt" | diff "$expected" - | sed 's/^/    /'
fi
json_ftdi='"kind": "usb", "vid": "0403", "pid": "6001", "manufacturer": "QEMU", "product": "QEMU USB SERIAL"'
for want in \
  "{\"port\": \"COM33\", \"device\": \"/dev/ttyUSB0\", $json_ftdi, \"serial_number\": \"KLVFT001\", \"driver\": \"ftdi_sio\", \"bluetooth_address\": null}" \
  "{\"port\": \"COM97\", \"device\": \"/dev/rfcomm0\", \"kind\": \"bluetooth\", \"vid\": null, \"pid\": null, \"manufacturer\": null, \"product\": null, \"serial_number\": null, \"driver\": \"rfcomm\", \"bluetooth_address\": \"00:1A:7D:DA:71:13\"}"; do
  grep -qF "$want" "$work/ports.json" && pass "--list-ports --json has: ${want:0:60}..." ||
    fail "--list-ports --json lacks: $want"
done
grep -q "\"port\": \"COM34\", \"device\": \"/dev/ttyUSB1\", \"baud\": 115200, \"result\": \"found\", .*\"identifier_sent\": false, $json_ftdi, \"serial_number\": \"KLVFT002\", \"driver\": \"ftdi_sio\"" \
  "$work/report.json" && pass "the report names the adapter the scan tool was found on" ||
  fail "the report does not name the FTDI adapter KLVFT002 on COM34"

# One open per probe: an ftdi_sio open resets the adapter's serial engine
# (vendor request 0, value 0) once. During the search the two adapters that
# answer are probed at three speeds each, the pulled one once; a check
# that opens the device again before each probe doubles that.
search_end=$(awk '$1 == "==" && $2 == "finder" {print $4}' "$work/marks.txt")
if [ -n "$search_end" ]; then
  opens=$(awk -F'[@:]' -v e="$search_end" '$2 + 0 <= e && /got control 0x4000, value 0x0$/ {
            split($0, p, "dev "); split(p[2], d, " "); n[d[1]]++ }
          END { for (k in n) printf "%d\n", n[k] }' "$work/qemu-trace.log" | sort -n | tr '\n' ' ')
  [ "$opens" = "1 3 3 " ] && pass "one open per probe on the FTDI adapters (opens: $opens)" ||
    fail "opens of the FTDI adapters during the search: ${opens:-none} (want 1 3 3)"
else
  fail "the search's end was not seen"
fi

# The words a refused open is told in: the Bluetooth port that does not
# answer is a time-out, in the words Windows uses for it.
line=$(grep '^open-error /dev/rfcomm0: ' "$console")
case "$line" in
  *"The semaphore timeout period has expired."*) pass "rfcomm open error: '${line#*: }'" ;;
  *) fail "rfcomm open error: '${line:-nothing}'" ;;
esac

# ---- the serial layer's checks, each as the guest ran it
for check in rfcomm-bind console-settings lines:3 exclusive:3 speed:2 idle hangup; do
  name=${check%%:*}
  want=${check#*:}
  [ "$want" = "$check" ] && want=1
  got=$(grep -c "^check $name: ok" "$console")
  [ "$got" = "$want" ] && pass "check $name ($got)" ||
    fail "check $name: $got of $want ok; $(grep "^check $name:" "$console" | grep -v ': ok' | head -n3)"
done

# The speed the far end of the 16550A and of the FTDI adapter saw.
for dev in /dev/ttyS1 /dev/ttyUSB1; do
  line=$(grep "^$dev " "$work/host-speeds.txt")
  [ "$line" = "$dev 57600 57600" ] && pass "$dev: the device side saw 57600" ||
    fail "$dev: the speed seen at the far end: '${line:-nothing}'"
done

# An idle open port, through the whole port component, asks its USB
# adapter for (almost) nothing: its modem lines are waited for, not polled.
watch=$(grep '^idle-begin ' "$console" | awk '{print $3}')
[ "$watch" = notified ] && pass "the FTDI port's modem lines are waited for (TIOCMIWAIT)" ||
  fail "the FTDI port's modem lines are watched as '$watch'"
begin=$(awk '$1 == "idle-begin" {print $2}' "$work/marks.txt")
end=$(awk '$1 == "idle-end" {print $2}' "$work/marks.txt")
if [ -n "$begin" ] && [ -n "$end" ]; then
  rate=$(awk -F'[@:]' -v b="$begin" -v e="$end" \
    '{ t = $2 + 0; if (t >= b && t <= e) n++ } END { printf "%.2f", n / (e - b) }' \
    "$work/qemu-trace.log")
  echo "guest: an idle open FTDI port made $rate USB control requests a second"
  awk -v r="$rate" 'BEGIN { exit !(r <= 2) }' && pass "at most 2 requests a second" ||
    fail "$rate USB control requests a second (at most 2)"
else
  fail "no idle window was seen"
fi

[ "$failures" = 0 ] && echo "guest: every check passed" || echo "guest: $failures checks failed"
exit $((failures > 0))
