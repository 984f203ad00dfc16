#!/usr/bin/env bash
# Checks that a Windows program is an executable of the given subsystem
# (default gui) that imports no DLL beyond the system's known DLLs: it is
# linked statically, and Windows takes a known DLL only from its own folder,
# while any other DLL is looked for in the program's folder first, where
# anyone could have put one.
#   check-windows-program.sh <program.exe> [gui|console]
set -u
exe=$1
subsystem=${2:-gui}
objdump=x86_64-w64-mingw32-objdump
command -v "$objdump" >/dev/null || { echo "check-windows-program: $objdump missing" >&2; exit 1; }
headers=$("$objdump" -p "$exe") || exit 1
status=0
case "$subsystem" in
  gui) pattern='(Windows GUI)' ;;
  console) pattern='(Windows CUI)' ;;
  *)
    echo "check-windows-program: unknown subsystem $subsystem" >&2
    exit 2
    ;;
esac
if ! grep -q "^Subsystem[[:space:]].*$pattern" <<<"$headers"; then
  echo "check-windows-program: $exe is not a $subsystem-subsystem program" >&2
  status=1
fi
# The known DLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs)
# a program of ours may need, and ntdll, which is always loaded.
known_dlls=' advapi32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll '
count=0
while read -r dll; do
  echo "imports $dll"
  count=$((count + 1))
  case "$known_dlls" in
    *" ${dll,,} "*) ;;
    *)
      echo "check-windows-program: $exe imports $dll, which is not one of the system's known DLLs" >&2
      status=1
      ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
if [ "$count" -eq 0 ]; then
  echo "check-windows-program: no import table read from $exe" >&2
  status=1
fi
exit "$status"
