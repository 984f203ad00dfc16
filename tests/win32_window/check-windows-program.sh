#!/usr/bin/env bash
# Checks that a Windows program is a GUI-subsystem executable that loads no
# DLL beyond the system's own (it is linked statically, no toolkit).
#   check-windows-program.sh <program.exe>
set -u
exe=$1
objdump=x86_64-w64-mingw32-objdump
command -v "$objdump" >/dev/null || { echo "check-windows-program: $objdump missing" >&2; exit 1; }
headers=$("$objdump" -p "$exe") || exit 1
status=0
if ! grep -q '^Subsystem[[:space:]].*(Windows GUI)' <<<"$headers"; then
  echo "check-windows-program: $exe is not a GUI-subsystem program" >&2
  status=1
fi
system_dlls=' ADVAPI32.dll COMCTL32.dll COMDLG32.dll GDI32.dll KERNEL32.dll msvcrt.dll ole32.dll SHELL32.dll USER32.dll VERSION.dll WINMM.dll '
while read -r dll; do
  echo "imports $dll"
  case "$system_dlls" in
    *" $dll "*) ;;
    *)
      echo "check-windows-program: $exe needs $dll, which is not part of the system" >&2
      status=1
      ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
exit "$status"
