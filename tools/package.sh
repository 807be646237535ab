#!/usr/bin/env bash
# Builds the downloads into build/packages/, with a SHA256SUMS of those it
# built (U is the upstream version, V the Debian one, from debian/changelog):
#   isi386_U.orig.tar.xz           the upstream source: HEAD's files, no debian/
#   isi386_V.dsc, isi386_V.debian.tar.xz
#                                  the Debian source package, 3.0 (quilt)
#   isi386-static_V_ARCH.deb       the program linked statically, for amd64,
#                                  arm64, armhf, i386, ppc64el, s390x, riscv64
#   isi386_V_ARCH.deb              the program linked dynamically, for this
#                                  machine's architecture
#   isi386-U-win32.zip             isi386.exe for 32-bit x86, README.txt,
#                                  LICENSE.txt, THIRD-PARTY-NOTICES.txt
#   isi386-U-win64.zip             the same for x86-64
#
#   bash tools/package.sh [deb | deb-ARCH] [win32] [win64]   (none: all)
#
# The source package is always built, from HEAD: uncommitted changes are
# left out (and said to be). All the rest is built in its unpacked tree,
# under build/package/: each .deb by dpkg-buildpackage, as a buildd builds
# it (-b, --host-arch ARCH with Debian's cross compiler for another
# architecture, without the tests), the zips by the Windows presets. For
# another architecture only isi386-static is built (the profile
# pkg.isi386.static-only): a dynamic program's Depends must come from that
# architecture's own C library, which this machine does not have. A plain
# `DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b` in a clone gives this
# machine's .debs to the byte.
#
# The same commit gives the same bytes on any file system, under any umask:
# every file time is SOURCE_DATE_EPOCH (unless set, the date of
# debian/changelog's entry, as dpkg-buildpackage takes it), owners are root,
# modes and order are fixed, and the builds carry no paths or link times.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(deb win32 win64)
source tools/install-missing.sh
arches=()
for target in "${targets[@]}"; do
    case $target in
    deb) mapfile -t arches < <(architectures) ;;
    deb-*) arches+=("${target#deb-}") ;;
    win32 | win64) ;;
    *) echo "unknown package: $target (deb, deb-ARCH, win32, win64)" >&2; exit 2 ;;
    esac
done
needs_build_deps
needs package
needs_cross "${arches[@]}"
install_needed

git rev-parse --verify -q HEAD >/dev/null || { echo "package.sh: not a git checkout with a commit" >&2; exit 1; }
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "package.sh: uncommitted changes are not in the packages: they are built from HEAD" >&2
version=$(git show HEAD:debian/changelog | dpkg-parsechangelog -l- -SVersion)
version=${version#*:} # no epoch in file names
upstream=${version%-*}
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git show HEAD:debian/changelog | dpkg-parsechangelog -l- -STimestamp)}
export SOURCE_DATE_EPOCH
out=build/packages
work=build/package
rm -rf "$work" && mkdir -p "$out" "$work"
built=() # what this run makes, and SHA256SUMS lists

make_source() {
    # git archive gives every file the commit's time.
    git archive --format=tar --prefix="isi386-$upstream/" HEAD -- . ':(exclude)debian' |
        xz -T1 >"$work/isi386_$upstream.orig.tar.xz"
    tar -xf "$work/isi386_$upstream.orig.tar.xz" -C "$work"
    git archive --format=tar HEAD debian | tar -x -C "$work/isi386-$upstream"
    if ! (cd "$work" && dpkg-source -b "isi386-$upstream") >"$work/source.log" 2>&1; then
        echo "dpkg-source -b failed:" >&2
        tail -20 "$work/source.log" >&2
        exit 1
    fi
    local file
    for file in "isi386_$upstream.orig.tar.xz" "isi386_$version.dsc" "isi386_$version.debian.tar.xz"; do
        cp "$work/$file" "$out/"
        built+=("$file")
    done
    tree=$work/isi386-$upstream
}

make_debs() {
    local arch profiles deb
    for arch in "${arches[@]}"; do
        profiles=nocheck
        [ "$arch" = "$(dpkg --print-architecture)" ] || profiles=cross,nocheck,pkg.isi386.static-only
        if ! (cd "$tree" && DEB_BUILD_OPTIONS=nocheck \
            dpkg-buildpackage -b -us -uc --host-arch="$arch" -P"$profiles") >"$work/$arch.log" 2>&1; then
            echo "dpkg-buildpackage --host-arch=$arch failed:" >&2
            tail -30 "$work/$arch.log" >&2
            exit 1
        fi
        for deb in "$work"/isi386*_"${version}_$arch.deb"; do
            # The debug symbols are no download.
            [[ $deb != *-dbgsym_* ]] || continue
            cp "$deb" "$out/"
            built+=("${deb##*/}")
        done
    done
}

# Fixed times for everything under a folder, links included; fixed modes.
settle() {
    find "$1" -type d -exec chmod 0755 {} +
    find "$1" -type f -exec chmod 0644 {} +
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
crlf() { sed -i 's/$/\r/' "$@"; }

make_zip() { # win32 | win64
    local preset=windows-x86
    [ "$1" = win64 ] && preset=windows-x64
    # --no-warn-unused-cli: the presets set the test runner's variables too.
    (cd "$tree" && cmake --preset "$preset" -B "$OLDPWD/$work/$preset" -DBUILD_TESTING=OFF \
        --no-warn-unused-cli) >/dev/null
    cmake --build "$work/$preset" --target isi386 -j "$(nproc)" >/dev/null
    local dir=$work/zip/$1
    cmake --install "$work/$preset" --prefix "$dir" --strip >/dev/null
    local mingw gcc
    mingw=$(dpkg-query -W -f='${source:Version}' mingw-w64-common)
    gcc=$(dpkg-query -W -f='${source:Version}' gcc-mingw-w64-base)
    sed -e "s/@MINGW_VERSION@/$mingw/" -e "s/@GCC_MINGW_VERSION@/$gcc/" \
        "$tree/packaging/THIRD-PARTY-NOTICES-windows.txt" >"$dir/THIRD-PARTY-NOTICES.txt"
    # Text files for Windows end their lines in CRLF.
    crlf "$dir/README.txt" "$dir/LICENSE.txt" "$dir/THIRD-PARTY-NOTICES.txt"
    settle "$dir"
    chmod 0755 "$dir/isi386.exe"
    rm -f "$out/isi386-$upstream-$1.zip"
    # -X: no owners or extra time fields; DOS times in UTC.
    (cd "$dir" && TZ=UTC zip -X -q -9 "$OLDPWD/$out/isi386-$upstream-$1.zip" \
        isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
    built+=("isi386-$upstream-$1.zip")
}

make_source
[ ${#arches[@]} -eq 0 ] || make_debs
for target in "${targets[@]}"; do
    case $target in
    win32 | win64) make_zip "$target" ;;
    esac
done
(cd "$out" && sha256sum -- "${built[@]}" >SHA256SUMS)
echo "packages in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
