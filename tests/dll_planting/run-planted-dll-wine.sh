#!/usr/bin/env bash
# A DLL put beside the finder's programs under the name of a system DLL
# must not run in them. Copies both programs into a folder of their own with
# the planted DLL under the names they took DLLs by before (winmm.dll, an
# import; Msftedit.dll and Riched20.dll, loaded by name) and the name of the
# one the port list loads (setupapi.dll), starts them there (that folder
# also the current directory) and checks that each shows its caption with
# the version, that the headless runner lists the ports, and that the
# planted DLL left no marker. First a
# plain LoadLibrary from the same folder shows that the plant works here.
# version.dll cannot be tried this way: Wine's own user32 imports it, so
# under Wine a version.dll beside any program with a window is either taken
# or passed over before the program runs a line. That the programs do not
# import it, nor any DLL outside the system's known DLLs, is read from their
# import tables (check-windows-program.sh).
#   run-planted-dll-wine.sh <probe-program.exe> <planted.dll> <kelvane-finder.exe>
#                           <kelvane-finder-headless.exe> <caption>
# WINEPREFIX etc. as for any Wine run (scripts/wine-env.sh).
set -u
probe=$1
planted=$2
window=$3
headless=$4
caption=$5
work=$(mktemp -d /tmp/sio-planted.XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "run-planted-dll-wine: $*" >&2
  status=1
}
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
# Output into files, not pipes: Wine's services inherit them and outlive the
# program. Wine writes line ends as CR LF.
run() {  # output file, then the command
  local out=$1
  shift
  wine "$@" >"$out" 2>"$out.err" </dev/null
  local rc=$?
  sed -i 's/\r$//' "$out" "$out.err"
  return "$rc"
}

# Windows looks for a DLL that is not one of its known DLLs in the program's
# folder first. Wine prefers its own builtin winmm.dll wherever the file is
# found, which would hide that plant: these names are taken native first,
# as Windows takes them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winmm,msftedit,riched20,setupapi=n,b"

cp "$probe" "$work/probe-program.exe"
cp "$window" "$work/kelvane-finder.exe"
cp "$headless" "$work/kelvane-finder-headless.exe"
for name in winmm.dll Msftedit.dll Riched20.dll setupapi.dll; do
  cp "$planted" "$work/$name"
done
cd "$work" || exit 1

for name in winmm.dll Msftedit.dll setupapi.dll; do
  if ! run load.out "$work/probe-program.exe" load "$name" || [ ! -e "$name.ran" ]; then
    cat load.out.err >&2
    echo "run-planted-dll-wine: a planted $name does not even run when loaded by name here: this check would prove nothing" >&2
    exit 1
  fi
done
rm -f ./*.ran

run headless.out "$work/kelvane-finder-headless.exe" --version
rc=$?
[ "$rc" -eq 0 ] || fail "kelvane-finder-headless.exe --version exited with $rc: $(cat headless.out.err)"
[ "$(cat headless.out)" = "$caption" ] ||
  fail "kelvane-finder-headless.exe --version printed \"$(cat headless.out)\", not \"$caption\""

# The port list loads setupapi.dll.
run ports.out "$work/kelvane-finder-headless.exe" --list-ports
rc=$?
[ "$rc" -eq 0 ] || fail "kelvane-finder-headless.exe --list-ports exited with $rc: $(cat ports.out.err)"

run window.out "$work/probe-program.exe" caption "$(winpath "$work/kelvane-finder.exe")"
rc=$?
[ "$rc" -eq 0 ] || fail "kelvane-finder.exe: $(cat window.out.err)"
[ "$(cat window.out)" = "$caption" ] ||
  fail "kelvane-finder.exe showed the caption \"$(cat window.out)\", not \"$caption\""

for marker in ./*.ran; do
  [ -e "$marker" ] || continue
  marker=${marker#./}
  fail "the planted ${marker%.ran} ran inside a program (it left $marker)"
done
[ "$status" -eq 0 ] && echo "run-planted-dll-wine: both programs showed \"$caption\"; no planted DLL ran"
exit "$status"
