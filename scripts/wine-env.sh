#!/usr/bin/env bash
# Sourced: a headless Wine prefix inside the Windows build tree, with a
# persistent wineserver so that each test executable starts in a fraction of a
# second. Call wine_setup first, wine_teardown when done.
: "${SIO_WINE_BUILD:?set SIO_WINE_BUILD to the mingw build directory}"
export WINEPREFIX="$SIO_WINE_BUILD/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_setup() {
  if [ ! -f "$WINEPREFIX/.sio-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
    # No display: the null graphics driver lets windows and message boxes work without pixels.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
    # No crash dialogs or 100-line dumps: a crash must simply fail the run.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.sio-ready"
  fi
  wineserver -p >/dev/null 2>&1 || true
}

wine_teardown() {
  wineserver -k >/dev/null 2>&1 || true
}
