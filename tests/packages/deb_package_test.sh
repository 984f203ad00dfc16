#!/usr/bin/env bash
# The Debian package as a user gets it: made with CPack from the build tree,
# its contents, lintian's verdict, an install into a scratch root with dpkg,
# the installed programs finding a simulated scan tool, and the purge
# leaving nothing behind.
#   deb_package_test.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
simpid=""
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "deb package test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/out/kelvane-finder_*_amd64.deb)

# Exactly the finder's files: no headers or libraries of the serial layer.
dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort >"$work/files"
sort >"$work/expected" <<'LIST'
./usr/bin/elm327-sim
./usr/bin/kelvane-finder
./usr/bin/kelvane-finder-headless
./usr/share/applications/kelvane-finder.desktop
./usr/share/doc/kelvane-finder/CHANGELOG.md
./usr/share/doc/kelvane-finder/LICENSE
./usr/share/doc/kelvane-finder/README.md
./usr/share/doc/kelvane-finder/changelog.gz
./usr/share/doc/kelvane-finder/copyright
./usr/share/icons/hicolor/256x256/apps/kelvane-finder.png
./usr/share/icons/hicolor/48x48/apps/kelvane-finder.png
./usr/share/man/man1/elm327-sim.1.gz
./usr/share/man/man1/kelvane-finder-headless.1.gz
./usr/share/man/man1/kelvane-finder.1.gz
LIST
diff -u "$work/expected" "$work/files" || fail "unexpected package contents"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6; do
  [[ "$depends" == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done
if command -v lintian >/dev/null; then
  lintian --allow-root "$deb" >"$work/lintian" 2>&1 || true
  if grep -E '^[EW]: ' "$work/lintian"; then fail "lintian complains"; fi
fi

# Installed into a scratch root, dependencies aside (they are the host's).
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --force-not-root --force-depends --log=/dev/null "$@"; }
dpkg_root -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
bin=$root/usr/bin
for f in "$bin"/*; do
  ! readelf -S "$f" | grep -q '\.symtab' || fail "$f is not stripped"
done
version=$("$bin/kelvane-finder-headless" --version)
[ "$version" = "Kelvane Finder $(dpkg-deb -f "$deb" Version).0" ] || fail "--version says '$version'"
grep -q '^Exec=kelvane-finder$' "$root/usr/share/applications/kelvane-finder.desktop" ||
  fail "the menu entry does not start kelvane-finder"
warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/kelvane-finder-headless.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page has faults: $warnings"

"$bin/elm327-sim" --scan-tool --baud 9600 --link "$work/scantool" >/dev/null &
simpid=$!
for _ in $(seq 200); do [ -e "$work/scantool" ] && break; sleep 0.01; done
status=0
SIO_PORTS="5=$work/scantool" "$bin/kelvane-finder-headless" --color=never >"$work/log" 2>&1 ||
  status=$?
[ "$status" = 0 ] || { cat "$work/log"; fail "the installed finder exited $status"; }
grep -A1 '= Attempting to connect at 9600 baud =' "$work/log" | grep -q 'COM5...found scan tool!' ||
  { cat "$work/log"; fail "the installed finder did not find the simulated scan tool"; }

dpkg_root --purge kelvane-finder >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "purge failed"; }
left=$(find "$root/usr" -type f 2>/dev/null || true)
[ -z "$left" ] || fail "left after the purge: $left"
echo "deb package test: $(basename "$deb"), $(stat -c %s "$deb") bytes: passed"
