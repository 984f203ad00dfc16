#!/usr/bin/env bash
# The Windows window's screenshot: kelvane-finder.exe under Wine on Xvfb
# (the X11 driver, in a Wine desktop of the screen's size, so the window has
# its title bar), after the demo's search over two simulated devices: a
# Kelvane scan tool at 38400 baud on COM5 and an ELM327 interpreter without
# identifier at 9600 on COM6, and no other port. The window is drawn with
# Wine's own fonts (Debian's fonts-wine, copied into the prefix), as
# Windows draws it: "MS Sans Serif" and the title bar's Marlett buttons.
#   scripts/screenshot-windows.sh [output.png]     (default docs/finder-windows.png)
# Needs the mingw build (kelvane-finder.exe), the default build
# (elm327-sim), wine, fonts-wine, Xvfb and ImageMagick. Uses a Wine prefix of
# its own beside the test prefix, which keeps the null graphics driver.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-docs/finder-windows.png}
exe=$root/build/mingw/finder/kelvane-finder.exe
sim=$root/build/default/tools/elm327-sim/elm327-sim
screen=420x520
wine_fonts=/usr/share/wine/fonts
for f in "$exe" "$sim"; do
  [ -e "$f" ] || { echo "screenshot-windows: $f missing: build the mingw and default presets" >&2; exit 1; }
done
[ -d "$wine_fonts" ] || { echo "screenshot-windows: $wine_fonts missing: install fonts-wine" >&2; exit 1; }
for tool in wine wineserver Xvfb import; do
  command -v "$tool" >/dev/null || { echo "screenshot-windows: $tool missing" >&2; exit 1; }
done

export WINEPREFIX="$root/build/mingw/wineprefix-x11" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/kelvane-shot.XXXXXX)
pids=()
xvfb=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The display first: Wine's X11 driver needs it from the prefix's first start.
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  sleep 0.05
done
[ -s "$work/display" ] || { echo "screenshot-windows: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

if [ ! -f "$WINEPREFIX/.sio-ready" ]; then
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.sio-ready"
fi
# Wine's stand-ins for the Windows fonts, where Windows keeps its own.
cp "$wine_fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"

start_device() {  # name, then elm327-sim options
  local name=$1
  shift
  "$sim" --link "$work/$name" "$@" >/dev/null </dev/null &
  pids+=($!)
  for _ in $(seq 200); do
    [ -e "$work/$name" ] && return 0
    sleep 0.01
  done
  echo "screenshot-windows: the simulated device $name did not start" >&2
  exit 1
}
start_device scantool --scan-tool --baud 38400
start_device interpreter --baud 9600
wine reg delete 'HKLM\Software\Wine\Ports' /va /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/scantool" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$work/interpreter" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w
find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -type l -delete 2>/dev/null || true

# Wine on a pseudo-terminal needs the modem-line ioctls Linux refuses; and
# the ports Wine would make of this machine's own serial devices stay out.
cc -shared -fPIC -O2 -Wall -Werror -o "$work/pty_modem_shim.so" \
  tests/wine-shim/pty_modem_shim.c -ldl
cc -shared -fPIC -O2 -Wall -Werror -o "$work/hide_host_ports_shim.so" \
  tests/wine-shim/hide_host_ports_shim.c -ldl
LD_PRELOAD="$work/pty_modem_shim.so $work/hide_host_ports_shim.so" \
  wine explorer "/desktop=Kelvane,$screen" "$exe" --search >"$work/wine.log" 2>&1 </dev/null &
pids+=($!)

# The search has ended when the screen stops changing: while it runs, a dot
# or a line appears at least every 0.6 s.
previous=
still=0
for i in $(seq 60); do
  sleep 1.5
  import -window root "$work/shot.png" 2>/dev/null || continue
  now=$(md5sum <"$work/shot.png")
  if [ "$now" = "$previous" ] && [ "$i" -ge 6 ]; then
    still=$((still + 1))
    [ "$still" -ge 2 ] && break
  else
    still=0
  fi
  previous=$now
done
mkdir -p "$(dirname "$out")"
cp "$work/shot.png" "$out"
wine reg delete 'HKLM\Software\Wine\Ports' /v COM5 /f >/dev/null 2>&1 || true
wine reg delete 'HKLM\Software\Wine\Ports' /v COM6 /f >/dev/null 2>&1 || true
echo "screenshot-windows: $out"
