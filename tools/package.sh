#!/usr/bin/env bash
# Builds the downloads into build/packages/, with a SHA256SUMS of those it built:
#   isi386_<version>_<arch>.deb    the Linux program, its man page, README,
#                                  copyright: for amd64, arm64, armhf, i386,
#                                  ppc64el, s390x and riscv64
#   isi386-<version>-win32.zip     isi386.exe for 32-bit x86, README.txt, LICENSE.txt,
#                                  THIRD-PARTY-NOTICES.txt
#   isi386-<version>-win64.zip     the same for x86-64
#
#   bash tools/package.sh [deb | deb-ARCH] [win32] [win64]    (no argument: all)
#
# Each .deb is built by dpkg-buildpackage (-b, --host-arch ARCH for another
# architecture, with Debian's cross compiler, without the tests), in a copy
# of the tree under build/package/debian; the same commit gives the same
# .deb from `dpkg-buildpackage -b` in a clone, with SOURCE_DATE_EPOCH set
# to the commit's time and DEB_BUILD_OPTIONS=nocheck.
#
# The same commit gives the same bytes, from a clone or from a `git archive`
# export, on any file system and under any umask: every file time is
# SOURCE_DATE_EPOCH (unless set, the commit's time), owners are root, modes
# and order are fixed, and the builds carry no paths or link times. The
# Windows programs are built without their tests, in build/package/; the
# .debs need neither mingw-w64 nor zip.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(deb win32 win64)
source tools/install-missing.sh
needs cmake has cmake
needs g++ has g++
architectures=()
for target in "${targets[@]}"; do
    case $target in
    deb) mapfile -t architectures < <(linux_architectures | cut -d' ' -f1) ;;
    deb-*) architectures+=("${target#deb-}") ;;
    win32 | win64) ;;
    *) echo "unknown package: $target (deb, deb-ARCH, win32, win64)" >&2; exit 2 ;;
    esac
done
if [ ${#architectures[@]} -gt 0 ]; then
    # dpkg-buildpackage checks the build dependencies, build-essential
    # among them.
    needs debhelper has dh
    needs dpkg-dev has dpkg-buildpackage
    needs build-essential installed build-essential
    for arch in "${architectures[@]}"; do
        needs_compiler_for "$arch" || { echo "unknown architecture: $arch" >&2; exit 2; }
    done
fi
if [[ " ${targets[*]} " = *" win"* ]]; then
    needs mingw-w64 has i686-w64-mingw32-g++-posix
    needs zip has zip
fi
install_needed

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if git rev-parse --git-dir >/dev/null 2>&1; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    else
        # `git archive` writes the commit's time here (export-subst).
        SOURCE_DATE_EPOCH=$(cat packaging/commit-time)
    fi
fi
if ! [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]]; then
    echo "package.sh: no commit time here (neither a git checkout nor a git archive export): set SOURCE_DATE_EPOCH" >&2
    exit 1
fi
export SOURCE_DATE_EPOCH
out=build/packages
mkdir -p "$out"
built=() # what this run makes, and SHA256SUMS lists
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

build() { # preset: configures and builds the program alone in build/package/PRESET
    # --no-warn-unused-cli: the presets set the test runner's variables too.
    cmake --preset "$1" -B "build/package/$1" -DBUILD_TESTING=OFF --no-warn-unused-cli >/dev/null
    cmake --build "build/package/$1" --target isi386 -j "$(nproc)" >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/package/$1/CMakeCache.txt")
}
# Fixed times for everything under a folder, links included; fixed modes.
settle() {
    find "$1" -type d -exec chmod 0755 {} +
    find "$1" -type f -exec chmod 0644 {} +
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
crlf() { sed -i 's/$/\r/' "$@"; }

make_debs() {
    # The tree as it stands, uncommitted changes too, without what is built.
    local tree=build/package/debian
    rm -rf "$tree" && mkdir -p "$tree/isi386"
    tar -c --exclude=./build --exclude=./.git . | tar -x -C "$tree/isi386"
    local arch version
    version=$(cd "$tree/isi386" && dpkg-parsechangelog -SVersion)
    for arch in "${architectures[@]}"; do
        if ! (cd "$tree/isi386" && DEB_BUILD_OPTIONS=nocheck \
            dpkg-buildpackage -b -us -uc --host-arch="$arch" -Pnocheck) >"$tree/$arch.log" 2>&1; then
            echo "dpkg-buildpackage --host-arch=$arch failed:" >&2
            tail -30 "$tree/$arch.log" >&2
            exit 1
        fi
        cp "$tree/isi386_${version}_$arch.deb" "$out/"
        built+=("isi386_${version}_$arch.deb")
    done
}

make_zip() { # win32 | win64
    local preset=windows-x86
    [ "$1" = win64 ] && preset=windows-x64
    build "$preset"
    local dir=$stage/$1
    cmake --install "build/package/$preset" --prefix "$dir" --strip >/dev/null
    local mingw gcc
    mingw=$(dpkg-query -W -f='${source:Version}' mingw-w64-common)
    gcc=$(dpkg-query -W -f='${source:Version}' gcc-mingw-w64-base)
    sed -e "s/@MINGW_VERSION@/$mingw/" -e "s/@GCC_MINGW_VERSION@/$gcc/" \
        packaging/THIRD-PARTY-NOTICES-windows.txt >"$dir/THIRD-PARTY-NOTICES.txt"
    # Text files for Windows end their lines in CRLF.
    crlf "$dir/README.txt" "$dir/LICENSE.txt" "$dir/THIRD-PARTY-NOTICES.txt"
    settle "$dir"
    chmod 0755 "$dir/isi386.exe"
    rm -f "$out/isi386-$version-$1.zip"
    # -X: no owners or extra time fields; DOS times in UTC.
    (cd "$dir" && TZ=UTC zip -X -q -9 "$OLDPWD/$out/isi386-$version-$1.zip" \
        isi386.exe README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt)
    built+=("isi386-$version-$1.zip")
}

[ ${#architectures[@]} -eq 0 ] || make_debs
for target in "${targets[@]}"; do
    case $target in
    win32 | win64) make_zip "$target" ;;
    esac
done
(cd "$out" && sha256sum -- "${built[@]}" >SHA256SUMS)
echo "packages in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
