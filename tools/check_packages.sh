#!/usr/bin/env bash
# Checks the downloads that tools/package.sh wrote to build/packages/:
# SHA256SUMS, lintian on each .deb, the exact contents of each package, the
# machine each program is built for, CRLF text in the zips, and the Linux
# programs answering for the samples (another architecture's under its
# qemu-user).
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/install-missing.sh
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
    arch=$(dpkg-deb -f "$deb" Architecture)
    read -r type machine < <(linux_architectures | awk -v arch="$arch" '$1 == arch { $1 = ""; print }')
    qemu=$(sed -n 's/^set(ISI386_QEMU \(.*\))$/\1/p' "cmake/toolchains/$type.cmake" 2>/dev/null)
    check "$deb: lintian finds no error or warning" lintian --fail-on error,warning "$deb"
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | tr '\n' ' ')
    expected="./usr/bin/isi386 ./usr/share/doc/isi386/README.md.gz ./usr/share/doc/isi386/changelog.gz "
    expected+="./usr/share/doc/isi386/copyright "
    expected+="./usr/share/lintian/overrides/isi386 ./usr/share/man/man1/isi386.1.gz "
    check "$deb holds $expected(has: $contents)" test "$contents" = "$expected"
    check "$deb depends on nothing" test -z "$(dpkg-deb -f "$deb" Depends)"
    # dpkg-gencontrol's count, which covers at least the files' bytes.
    bytes=$(dpkg-deb -c "$deb" | awk '{ n += $3 } END { print int((n + 1023) / 1024) }')
    check "$deb: Installed-Size covers the $bytes KiB of its files" \
        test "$(dpkg-deb -f "$deb" Installed-Size)" -ge "$bytes"
    # One source of the C library and one of GCC's, or of their cross builds.
    using=$(dpkg-deb -f "$deb" Built-Using | tr ',' '\n' | sed 's/^ //')
    check "$deb is built using glibc and gcc, or their cross builds (has: ${using//$'\n'/, })" \
        test "$(grep -Ec '^(glibc|cross-toolchain-base(-ports)?) \(= [^)]+\)$' <<<"$using"),$(
            grep -Ec '^gcc-[0-9]+(-cross(-ports)?)? \(= [^)]+\)$' <<<"$using")" = 1,1
    rm -rf "$work/deb" && dpkg -x "$deb" "$work/deb"
    copyright=$work/deb/usr/share/doc/isi386/copyright
    check "$deb: the copyright is the licence" grep -q 'Permission is hereby granted' "$copyright"
    check "$deb: the copyright names the C library's LGPL" grep -q '^License: LGPL-2.1+$' "$copyright"
    program=$work/deb/usr/bin/isi386
    check "$deb: the program is built for $machine" \
        grep -q "Machine: *$machine" <<<"$(readelf -h "$program")"
    runner=()
    [ -z "$qemu" ] || runner=("$qemu")
    check "$deb: the program answers 1 for samples/x86.exe${runner[*]:+ under $qemu}" \
        test "$("${runner[@]}" "$program" samples/x86.exe)" = 1
    check "$deb: the program answers 0 for samples/x64.exe${runner[*]:+ under $qemu}" \
        test "$("${runner[@]}" "$program" samples/x64.exe)" = 0
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

# The source package, from the tree the .debs were built from.
tree=build/package/debian
if [ -d "$tree/isi386" ]; then
    rm -f "$tree"/isi386_*.dsc "$tree"/isi386_*.tar.*
    check "dpkg-buildpackage -S builds the source package" \
        bash -c "cd '$tree/isi386' && dpkg-buildpackage -S -us -uc >../source.log 2>&1"
    check "the source package: lintian --pedantic finds nothing" \
        lintian --pedantic --fail-on error,warning,info,pedantic "$tree"/isi386_*.dsc
fi
exit $((failures > 0))
