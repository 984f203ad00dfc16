#!/usr/bin/env bash
# The Windows packages as a user gets them. The packaged programs: their
# resources (the icon, the manifest, the version), their imports (only the
# system's known DLLs) and no path of the build machine in them. The ZIP:
# exactly the programs and the documents, at its root. The installer, run
# silently in a fresh Wine prefix: the files in Program Files, the
# Start-menu entry, the entry in the list of installed programs; the
# installed window shows its caption with the version, the installed
# headless program finds a simulated scan tool on COM5; the uninstaller then
# leaves none of it behind.
#   windows-packages-test.sh <mingw-release build dir> <probe-program.exe> <elm327-sim>
# The packages must have been made (cpack) in that build directory; its Wine
# prefix (<build dir>/wineprefix) is made anew.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
probe=$2
sim=$3
status=0
fail() {
  echo "windows-packages-test: $*" >&2
  status=1
}
stop() {
  echo "windows-packages-test: $*" >&2
  exit 1
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || stop "no package version in $build/CPackConfig.cmake"
caption="Kelvane Finder $version.0"
zip=$build/packages/kelvane-finder-$version-win64.zip
installer=$build/packages/kelvane-finder-$version-win64.exe
for f in "$zip" "$installer" "$probe" "$sim"; do
  [ -e "$f" ] || stop "$f missing"
done
work=$(mktemp -d /tmp/kelvane-packages.XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# --- The packaged programs.
for program in kelvane-finder:gui kelvane-finder-headless:console; do
  exe=$build/finder/${program%:*}.exe
  bash "$root/tests/win32_window/check-windows-program.sh" "$exe" "${program#*:}" >/dev/null ||
    fail "${program%:*}.exe imports more than the system's known DLLs, or is of the wrong subsystem"
  x86_64-w64-mingw32-windres -i "$exe" -O rc >"$work/resources.rc" 2>/dev/null ||
    fail "no resources read from ${program%:*}.exe"
  # windres writes each resource under a comment naming its type and name.
  tr -d '\n' <"$work/resources.rc" | grep -q '/\* Type: group icon *Name: 1\. *\*/' ||
    fail "${program%:*}.exe has no icon group 1"
  grep -q 'VALUE "FileVersion", "'"$version"'.0"' "$work/resources.rc" ||
    fail "${program%:*}.exe has no file version $version.0"
  manifest=$(sed -n '/Type: 24/,/^END/p' "$work/resources.rc")
  grep -q 'level=""asInvoker""' <<<"$manifest" || fail "${program%:*}.exe's manifest does not run it as invoker"
  grep -q '<gdiScaling xmlns=""http://schemas.microsoft.com/SMI/2017/WindowsSettings"">true</gdiScaling>' <<<"$manifest" ||
    fail "${program%:*}.exe's manifest does not ask for GDI scaling"
  grep -qi 'dpiAware' <<<"$manifest" && fail "${program%:*}.exe's manifest declares DPI awareness"
  grep -qaF "$root" "$exe" && fail "${program%:*}.exe holds the build machine's path $root"
  echo "windows-packages-test: ${program%:*}.exe $(stat -c %s "$exe") bytes," \
    "imports $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
done

# --- The ZIP: the files at its root, nothing else.
expected=$'CHANGELOG.md\nLICENSE\nREADME.md\nkelvane-finder-headless.exe\nkelvane-finder.exe'
listed=$(unzip -Z1 "$zip" | LC_ALL=C sort)
[ "$listed" = "$expected" ] || fail "the ZIP holds:"$'\n'"$listed"$'\n'"not:"$'\n'"$expected"

# --- The installer, in a fresh prefix. No menu entries of the host's
# desktop for the prefix's Start menu.
export SIO_WINE_BUILD=$build
rm -rf "$build/wineprefix"
# shellcheck source=../../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
wine_setup
wine "$installer" /S >"$work/install.log" 2>&1 </dev/null || stop "the installer failed: $(cat "$work/install.log")"
folder='C:\Program Files\Kelvane Finder'
installed=$WINEPREFIX/drive_c/Program\ Files/Kelvane\ Finder
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Kelvane\ Finder
[ "$(ls "$installed" 2>/dev/null | LC_ALL=C sort)" = "$(printf '%s\nUninstall.exe' "$expected" | LC_ALL=C sort)" ] ||
  fail "installed in $folder: $(ls "$installed" 2>&1 | tr '\n' ' ')"
[ -f "$menu/Uninstall.lnk" ] || fail "no Uninstall entry in the Start menu"
grep -qaF "$folder\\kelvane-finder.exe" "$menu/Kelvane Finder.lnk" 2>/dev/null ||
  fail "no Start-menu entry Kelvane Finder for $folder\\kelvane-finder.exe"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane Finder'
wine reg query "$key" 2>/dev/null | tr -d '\r' >"$work/entry"
for value in "DisplayName    REG_SZ    Kelvane Finder" "DisplayVersion    REG_SZ    $version" \
  "DisplayIcon    REG_SZ    $folder\\kelvane-finder.exe" \
  "UninstallString    REG_SZ    \"$folder\\Uninstall.exe\""; do
  grep -qF "$value" "$work/entry" || fail "the list of installed programs lacks: $value"
done

# --- The installed programs.
wine "$probe" caption "$folder\\kelvane-finder.exe" >"$work/caption" 2>"$work/caption.err" </dev/null ||
  fail "the installed window: $(tr -d '\r' <"$work/caption.err")"
[ "$(tr -d '\r' <"$work/caption")" = "$caption" ] ||
  fail "the installed window's caption is \"$(tr -d '\r' <"$work/caption")\", not \"$caption\""

cc -shared -fPIC -O2 -Wall -Werror -o "$work/pty_modem_shim.so" "$root/tests/wine-shim/pty_modem_shim.c" -ldl ||
  stop "the pty shim did not build"
"$sim" --scan-tool --baud 38400 --link "$work/scantool" >/dev/null </dev/null &
sim_pid=$!
for _ in $(seq 200); do
  [ -e "$work/scantool" ] && break
  sleep 0.01
done
[ -e "$work/scantool" ] || stop "the simulated scan tool did not start"
# COM5 alone: the prefix's own links to the host's serial devices go, and
# the port table is read when the server starts.
wine reg delete 'HKLM\Software\Wine\Ports' /va /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$work/scantool" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1
wineserver -w
find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -type l -delete
wineserver -p >/dev/null 2>&1 </dev/null
LD_PRELOAD="$work/pty_modem_shim.so" wine "$folder\\kelvane-finder-headless.exe" --color=never \
  >"$work/search" 2>&1 </dev/null
rc=$?
sed -i 's/\r$//' "$work/search"
if [ "$rc" -ne 0 ] || ! grep -q '^  Looking on COM5\.\.\.found scan tool! *$' "$work/search" ||
  ! grep -qx 'End of search.' "$work/search"; then
  cat "$work/search" >&2
  fail "the installed headless program (exit $rc) did not find the scan tool on COM5"
fi
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=

# --- The uninstaller, as the list of installed programs runs it: it copies
# itself elsewhere and returns at once, so the run ends when Wine's last
# process has.
wineserver -k >/dev/null 2>&1
wineserver -w
wine "$folder\\Uninstall.exe" /S >"$work/uninstall.log" 2>&1 </dev/null || fail "the uninstaller failed"
wineserver -w
[ -e "$installed" ] && fail "left behind in $folder: $(ls -A "$installed" | tr '\n' ' ')"
[ -e "$menu" ] && fail "the Start-menu folder is still there: $(ls -A "$menu" | tr '\n' ' ')"
wine reg query "$key" >/dev/null 2>&1 && fail "still in the list of installed programs"
wine reg query 'HKLM\Software\Kelvane Diagnostics\Kelvane Finder' >/dev/null 2>&1 &&
  fail "the record of the installation folder is still in the registry"
wineserver -k >/dev/null 2>&1

echo "windows-packages-test: ZIP $(stat -c %s "$zip") bytes, installer $(stat -c %s "$installer") bytes"
[ "$status" -eq 0 ] && echo "windows-packages-test: passed"
exit "$status"
