#!/usr/bin/env bash
# Builds the downloads into build/packages/, with a SHA256SUMS of those it built:
#   isi386_<version>_<arch>.deb    the Linux program, its man page, README, copyright
#   isi386-<version>-win32.zip     isi386.exe for 32-bit x86, README.txt, LICENSE.txt,
#                                  THIRD-PARTY-NOTICES.txt
#   isi386-<version>-win64.zip     the same for x86-64
#
#   bash tools/package.sh [deb] [win32] [win64]    (no argument: all three)
#
# The same commit gives the same bytes, from a clone or from a `git archive`
# export, on any file system and under any umask: every file time is
# SOURCE_DATE_EPOCH (unless set, the commit's time), owners are root, modes
# and order are fixed, and the builds carry no paths or link times. The
# programs are built without their tests, in build/package/; the .deb needs
# neither mingw-w64 nor zip.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(deb win32 win64)
source tools/install-missing.sh
needs cmake has cmake
needs g++ has g++
[[ " ${targets[*]} " = *" deb "* ]] && needs dpkg has dpkg-deb
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
# "SOURCE (= VERSION)" of the Debian package that holds the build machine's FILE.
built_using() {
    local package
    package=$(dpkg -S "$(realpath "$1")" | cut -d: -f1)
    dpkg-query -W -f='${source:Package} (= ${source:Version})' "$package"
}
crlf() { sed -i 's/$/\r/' "$@"; }

make_deb() {
    build native
    local root=$stage/deb
    cmake --install build/package/native --prefix "$root/usr" --strip >/dev/null
    local doc=$root/usr/share/doc/isi386
    mkdir -p "$doc" "$root/usr/share/lintian/overrides" "$root/DEBIAN"
    gzip -9n "$root/usr/share/man/man1/isi386.1"
    gzip -9n <README.md >"$doc/README.md.gz"
    gzip -9n <packaging/changelog >"$doc/changelog.gz"
    cp packaging/lintian-overrides "$root/usr/share/lintian/overrides/isi386"
    # The static program holds parts of the C library and of libgcc.
    local glibc gcc
    glibc=$(built_using "$(g++ -print-file-name=libc.a)")
    gcc=$(built_using "$(g++ -print-file-name=libgcc_eh.a)")
    sed -e "s/@GLIBC@/$glibc/" -e "s/@GCC@/$gcc/" packaging/copyright >"$doc/copyright"
    (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
    # Installed-Size as dpkg-gencontrol counts it: each file's size in KiB,
    # rounded up, and 1 for each directory; never what a file system says.
    local arch size
    arch=$(dpkg --print-architecture)
    size=$(cd "$root" && find usr -printf '%y %s\n' |
        awk '$1 == "f" { n += int(($2 + 1023) / 1024); next } { n += 1 } END { print n }')
    sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
        -e "s/@BUILT_USING@/$glibc, $gcc/" packaging/control.in >"$root/DEBIAN/control"
    settle "$root"
    chmod 0755 "$root/usr/bin/isi386"
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/isi386_${version}_${arch}.deb" >/dev/null
    built+=("isi386_${version}_${arch}.deb")
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

for target in "${targets[@]}"; do
    case $target in
    deb) make_deb ;;
    win32 | win64) make_zip "$target" ;;
    *) echo "unknown package: $target (deb, win32, win64)" >&2; exit 2 ;;
    esac
done
(cd "$out" && sha256sum -- "${built[@]}" >SHA256SUMS)
echo "packages in $out:"
sed 's/^/  /' "$out/SHA256SUMS"
