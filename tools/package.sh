#!/usr/bin/env bash
# Builds the two packages and checks them:
#   build/native/packages/isi386_<version>_<arch>.deb   the Linux program and its man page
#   build/windows-x86/packages/isi386-<version>-win32.zip  isi386.exe (32-bit x86) and README.txt
# The .deb is unpacked into a scratch root (dpkg -x) and the installed
# program run on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/install-missing.sh
needs dpkg has dpkg-deb
needs unzip has unzip
needs mingw-w64 has i686-w64-mingw32-g++-posix
install_needed

for preset in native windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target isi386 -j "$(nproc)" >/dev/null
    rm -rf "build/$preset/packages"
    (cd "build/$preset" && cpack -B packages >/dev/null)
done
deb=$(ls build/native/packages/isi386_*.deb)
zip=$(ls build/windows-x86/packages/isi386-*-win32.zip)

status=0
expect() { # description, then the listing, then the patterns it must hold
    local what=$1 listing=$2
    shift 2
    for pattern in "$@"; do
        grep -Eq -- "$pattern" <<<"$listing" || { echo "FAILED: $what lacks $pattern"; status=1; }
    done
}
listing=$(dpkg-deb -c "$deb")
expect "$deb" "$listing" ' \./usr/bin/isi386$' ' \./usr/share/man/man1/isi386\.1$'
expect "$deb" "$(dpkg-deb -f "$deb" Package)" '^isi386$'
# The static program needs no libraries at run time.
if grep -q 'ISI386_STATIC:BOOL=ON' build/native/CMakeCache.txt && [ -n "$(dpkg-deb -f "$deb" Depends)" ]; then
    echo "FAILED: $deb depends on $(dpkg-deb -f "$deb" Depends)"
    status=1
fi
listing=$(unzip -l "$zip")
expect "$zip" "$listing" ' isi386\.exe$' ' README\.txt$'
[ "$(unzip -l "$zip" | tail -1 | awk '{print $2}')" = 2 ] || { echo "FAILED: $zip holds more than two files"; status=1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
answer=$("$root/usr/bin/isi386" samples/x86.exe) || true
[ "$answer" = 1 ] || { echo "FAILED: the installed program answers '$answer' for samples/x86.exe"; status=1; }
unzip -q "$zip" -d "$root/zip"
[ "$(build/native/isi386 "$root/zip/isi386.exe")" = 1 ] || { echo "FAILED: the zip's isi386.exe is not x86"; status=1; }

[ $status -eq 0 ] && printf '%s\n' "packages:" "  $deb" "  $zip"
exit $status
