#!/usr/bin/env bash
# Checks the downloads that tools/package.sh wrote to build/packages/:
# SHA256SUMS, lintian on the .deb, the exact contents of each package, CRLF
# text in the zips, and the programs they hold answering for themselves.
set -uo pipefail
cd "$(dirname "$0")/.."
out=build/packages
failures=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
crlf_only() { # every line of $1 ends in CRLF
    [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q '^$' "$1"
}

check "SHA256SUMS matches" bash -c "cd $out && sha256sum --strict -c SHA256SUMS"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for deb in "$out"/isi386_*.deb; do
    [ -e "$deb" ] || continue
    check "$deb: lintian finds no error or warning" lintian --fail-on error,warning "$deb"
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | tr '\n' ' ')
    expected="./usr/bin/isi386 ./usr/share/doc/isi386/README.md.gz ./usr/share/doc/isi386/changelog.gz "
    expected+="./usr/share/doc/isi386/copyright "
    expected+="./usr/share/lintian/overrides/isi386 ./usr/share/man/man1/isi386.1.gz "
    check "$deb holds $expected(has: $contents)" test "$contents" = "$expected"
    check "$deb depends on nothing" test -z "$(dpkg-deb -f "$deb" Depends)"
    # As dpkg-gencontrol counts: KiB of each file, rounded up, 1 per directory.
    size=$(dpkg-deb -c "$deb" | awk '$6 != "./" { n += $1 ~ /^d/ ? 1 : int(($3 + 1023) / 1024) } END { print n }')
    check "$deb: Installed-Size is $size" test "$(dpkg-deb -f "$deb" Installed-Size)" = "$size"
    check "$deb is built using glibc and gcc" \
        grep -Eq '^glibc \(= [^)]+\), gcc-[0-9]+ \(= [^)]+\)$' <<<"$(dpkg-deb -f "$deb" Built-Using)"
    dpkg -x "$deb" "$work/deb"
    check "$deb: the copyright is the licence" grep -q 'Permission is hereby granted' \
        "$work/deb/usr/share/doc/isi386/copyright"
    glibc=$(dpkg-deb -f "$deb" Built-Using | sed 's/,.*//')
    check "$deb: the copyright names $glibc and the LGPL" grep -qF "$glibc" \
        "$work/deb/usr/share/doc/isi386/copyright"
    check "$deb: the installed program answers 1 for samples/x86.exe" \
        test "$("$work/deb/usr/bin/isi386" samples/x86.exe)" = 1
    check "$deb: the man page opens" bash -c "zcat '$work/deb/usr/share/man/man1/isi386.1.gz' | groff -man -Tutf8 -ww -z"
done

for zip in "$out"/isi386-*-win32.zip "$out"/isi386-*-win64.zip; do
    [ -e "$zip" ] || continue
    names=$(unzip -Z1 "$zip" | tr '\n' ' ')
    check "$zip holds isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt (has: $names)" \
        test "$names" = "isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt "
    rm -rf "$work/zip" && unzip -q "$zip" -d "$work/zip"
    expected=4c01
    [[ $zip = *-win64.zip ]] && expected=6486
    check "$zip: isi386.exe has machine $expected" test "$(sh tools/pe-machine.sh "$work/zip/isi386.exe")" = "$expected"
    check "$zip: README.txt ends its lines in CRLF" crlf_only "$work/zip/README.txt"
    for text in LICENSE.txt THIRD-PARTY-NOTICES.txt; do
        check "$zip: $text ends its lines in CRLF" crlf_only "$work/zip/$text"
    done
    check "$zip: THIRD-PARTY-NOTICES.txt names the runtimes' versions" \
        bash -c "! grep -q @ '$work/zip/THIRD-PARTY-NOTICES.txt'"
done
exit $((failures > 0))
