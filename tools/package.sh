#!/usr/bin/env bash
# Builds the downloads into build/packages/, with a SHA256SUMS:
#   isi386_<version>_<arch>.deb    the Linux program, its man page, copyright
#   isi386-<version>-win32.zip     isi386.exe for 32-bit x86, README.txt, LICENSE.txt
#   isi386-<version>-win64.zip     isi386.exe for x86-64, README.txt, LICENSE.txt
#
#   bash tools/package.sh [deb] [win32] [win64]    (no argument: all three)
#
# The same commit gives the same bytes: every file time is SOURCE_DATE_EPOCH
# (the last commit's time unless set), owners are root, order is fixed, and
# the builds carry no paths or link times. The .deb alone needs no mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(deb win32 win64)
source tools/install-missing.sh
needs cmake has cmake
needs g++ has g++
needs dpkg has dpkg-deb
needs zip has zip
[[ " ${targets[*]} " = *" win"* ]] && needs mingw-w64 has i686-w64-mingw32-g++-posix
install_needed

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
out=build/packages
mkdir -p "$out"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

build() { # preset: configures and builds the program alone; sets $version
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target isi386 -j "$(nproc)" >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$1/CMakeCache.txt")
}
# Fixed times for everything under a folder, links included.
settle() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

make_deb() {
    build native
    local root=$stage/deb
    cmake --install build/native --prefix "$root/usr" --strip >/dev/null
    local doc=$root/usr/share/doc/isi386
    mkdir -p "$doc" "$root/usr/share/lintian/overrides" "$root/DEBIAN"
    gzip -9n "$root/usr/share/man/man1/isi386.1"
    cp packaging/copyright "$doc/copyright"
    gzip -9n <packaging/changelog >"$doc/changelog.gz"
    cp packaging/lintian-overrides "$root/usr/share/lintian/overrides/isi386"
    find "$root" -type d -exec chmod 0755 {} +
    find "$root" -type f -exec chmod 0644 {} +
    chmod 0755 "$root/usr/bin/isi386"
    (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
    chmod 0644 "$root/DEBIAN/md5sums"
    local arch size
    arch=$(dpkg --print-architecture)
    size=$(du -sk --apparent-size "$root/usr" | cut -f1)
    sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
        packaging/control.in >"$root/DEBIAN/control"
    settle "$root"
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/isi386_${version}_${arch}.deb" >/dev/null
}

make_zip() { # win32 | win64
    local preset=windows-x86
    [ "$1" = win64 ] && preset=windows-x64
    build "$preset"
    local dir=$stage/$1
    cmake --install "build/$preset" --prefix "$dir" --strip >/dev/null
    # Text files for Windows end their lines in CRLF.
    sed -i 's/$/\r/' "$dir/README.txt" "$dir/LICENSE.txt"
    settle "$dir"
    rm -f "$out/isi386-$version-$1.zip"
    # -X: no owners or extra time fields; DOS times in UTC.
    (cd "$dir" && TZ=UTC zip -X -q -9 "$OLDPWD/$out/isi386-$version-$1.zip" \
        isi386.exe README.txt LICENSE.txt)
}

for target in "${targets[@]}"; do
    case $target in
    deb) make_deb ;;
    win32 | win64) make_zip "$target" ;;
    *) echo "unknown package: $target (deb, win32, win64)" >&2; exit 2 ;;
    esac
done
(cd "$out" && rm -f SHA256SUMS && sha256sum -- *.deb *.zip 2>/dev/null >SHA256SUMS || true)
echo "packages in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
