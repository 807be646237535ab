#!/usr/bin/env bash
# Checks the downloads that tools/package.sh wrote to build/packages/:
# SHA256SUMS; lintian --pedantic on the source package and each .deb; the
# exact contents and fields of each .deb, the machine each program is built
# for, and each answering for the samples (another architecture's under its
# qemu-user); CRLF text in the zips; the upstream tarball alone (no
# debian/) configuring, building and answering; and the as-installed tests
# (debian/tests) against this machine's .debs, in a root of their own.
set -uo pipefail
cd "$(dirname "$0")/.." || exit
source tools/install-missing.sh
out=build/packages
failures=0
check() { # description, then a command that must succeed
    local description=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}
crlf_only() { # every line of $1 ends in CRLF
    [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q '^$' "$1"
}
lintian_clean() { lintian --pedantic --fail-on error,warning,info,pedantic "$1"; }

check "SHA256SUMS matches" bash -c "cd $out && sha256sum --strict -c SHA256SUMS"
# What the last run built, as SHA256SUMS lists it.
mapfile -t files < <(awk -v out="$out" '{ print out "/" $2 }' "$out/SHA256SUMS")
listed() { printf '%s\n' "${files[@]}" | grep -E "/$1\$" || true; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for dsc in $(listed 'isi386_.*\.dsc'); do
    check "$dsc: lintian --pedantic finds nothing" lintian_clean "$dsc"
    check "$dsc is 3.0 (quilt)" grep -qx 'Format: 3.0 (quilt)' "$dsc"
    orig=$(listed 'isi386_.*\.orig\.tar\.xz')
    check "$orig holds no debian/" bash -c "! tar -tf '$orig' | grep -q '^[^/]*/debian/'"
    # The upstream source as another distribution would build it.
    mkdir "$work/upstream" && tar -xf "$orig" -C "$work/upstream" --strip-components=1
    check "$orig configures and builds without debian/" bash -c \
        "cmake -S '$work/upstream' -B '$work/upstream/build' -DBUILD_TESTING=OFF && cmake --build '$work/upstream/build' -j $(nproc)"
    check "$orig: its program answers 1 for samples/x86.exe, 0 for samples/x64.exe" bash -c \
        "test \"\$('$work/upstream/build/isi386' samples/x86.exe)\" = 1 && test \"\$('$work/upstream/build/isi386' samples/x64.exe)\" = 0"
done

for deb in $(listed 'isi386.*\.deb'); do
    arch=$(dpkg-deb -f "$deb" Architecture)
    package=$(dpkg-deb -f "$deb" Package)
    machine=$(awk -v arch="$arch" '$1 == arch { sub(/^[^ ]+ /, ""); print }' tools/architectures)
    type=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    qemu=$(sed -n 's/^set(ISI386_QEMU \(.*\))$/\1/p' "cmake/toolchains/$type.cmake" 2>/dev/null)
    check "$deb: lintian --pedantic finds nothing" lintian_clean "$deb"
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | tr '\n' ' ')
    doc=./usr/share/doc/$package
    expected="./usr/bin/isi386 $doc/README.md.gz $doc/bench/cost.png $doc/changelog.Debian.gz $doc/copyright "
    expected+="./usr/share/lintian/overrides/$package "
    expected+="./usr/share/man/man1/isi386.1.gz "
    check "$deb holds $expected(has: $contents)" test "$contents" = "$expected"
    check "$deb is Multi-Arch: foreign" test "$(dpkg-deb -f "$deb" Multi-Arch)" = foreign
    # dpkg-gencontrol's count, which covers at least the files' bytes.
    bytes=$(dpkg-deb -c "$deb" | awk '{ n += $3 } END { print int((n + 1023) / 1024) }')
    check "$deb: Installed-Size covers the $bytes KiB of its files" \
        test "$(dpkg-deb -f "$deb" Installed-Size)" -ge "$bytes"
    depends=$(dpkg-deb -f "$deb" Depends)
    if [ "$package" = isi386 ]; then
        check "$deb depends on the C library (has: $depends)" grep -Eq '(^|, )libc6 \(>= [^)]+\)' <<<"$depends"
    else
        check "$deb depends on nothing (has: $depends)" test -z "$depends"
        check "$deb conflicts with, replaces and provides isi386" test \
            "$(dpkg-deb -f "$deb" Conflicts)|$(dpkg-deb -f "$deb" Replaces)|$(dpkg-deb -f "$deb" Provides)" = \
            "isi386|isi386|isi386 (= $(dpkg-deb -f "$deb" Version))"
        # The C library's source, or its cross build's; with GCC's too.
        libc='(glibc|cross-toolchain-base(-ports)?) \(= [^)]+\)'
        check "$deb is built using the C library (has: $(dpkg-deb -f "$deb" Built-Using))" \
            grep -Eqx "$libc" <<<"$(dpkg-deb -f "$deb" Built-Using)"
        static=$(dpkg-deb -f "$deb" Static-Built-Using)
        check "$deb is statically built using the C library and GCC (has: $static)" test \
            "$(tr ',' '\n' <<<"$static" | sed 's/^ //' | grep -Ecx "$libc|gcc-[0-9]+(-cross(-ports)?)? \(= [^)]+\)")" = 2
    fi
    rm -rf "$work/deb" && dpkg -x "$deb" "$work/deb"
    copyright=$work/deb/$doc/copyright
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

for zip in $(listed 'isi386-.*-win(32|64)\.zip'); do
    names=$(unzip -Z1 "$zip" | tr '\n' ' ')
    check "$zip holds isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt (has: $names)" \
        test "$names" = "isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt "
    rm -rf "$work/zip" && unzip -q "$zip" -d "$work/zip"
    expected=4c01
    [[ $zip = *-win64.zip ]] && expected=6486
    check "$zip: isi386.exe has machine $expected" test "$(sh tools/pe-machine.sh "$work/zip/isi386.exe")" = "$expected"
    for text in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt; do
        check "$zip: $text ends its lines in CRLF" crlf_only "$work/zip/$text"
    done
    check "$zip: THIRD-PARTY-NOTICES.txt names the runtimes' versions" \
        bash -c "! grep -q @ '$work/zip/THIRD-PARTY-NOTICES.txt'"
done

# autopkgtest, for both of this machine's .debs.
native=$(dpkg --print-architecture)
mapfile -t debs < <(listed "isi386(-static)?_.*_$native\.deb")
if [ ${#debs[@]} -eq 2 ]; then
    dpkg-source -x "$(listed 'isi386_.*\.dsc')" "$work/source" >/dev/null
    if bash tools/autopkgtest.sh "$work/source/" "${debs[@]}" >"$work/autopkgtest.log" 2>&1; then
        echo "ok: autopkgtest: $(sed -n '/ summary$/,$p' "$work/autopkgtest.log" | grep -c ' PASS') tests passed against ${debs[*]##*/}"
    else
        echo "FAILED: autopkgtest against ${debs[*]##*/}"
        tail -40 "$work/autopkgtest.log"
        failures=$((failures + 1))
    fi
fi
exit $((failures > 0))
