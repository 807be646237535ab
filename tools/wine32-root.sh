#!/usr/bin/env bash
# Wine's 32-bit half from a root of its own: prints the path of
# build/wine32-VERSION, an i386 root holding wine32 and wine32-preloader at
# the version of the installed wine64, and makes it first if it is not
# there. The system's architectures and packages are left as they are.
#   bash tools/wine32-root.sh
#
# The root's loader (usr/lib/wine/wine) takes its dynamic linker from the
# root, and its libraries from the root's lib/i386-linux-gnu and
# usr/lib/i386-linux-gnu (an RPATH relative to the loader, so any path
# holds the root); it starts 64-bit programs with the system's wine64, and
# the system's 64-bit wineserver serves both.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# mmdebstrap's setup hook: apt-get update for the root. A suite whose i386
# lists cannot be fetched (a mirror caught mid-sync) is left out, in one
# line; then wine32 must be offered at the version asked for.
if [ "${1:-}" = update-lists ]; then
    version=$2
    updated=0
    log=$(APT_CONFIG=$MMDEBSTRAP_APT_CONFIG apt-get update 2>&1) || updated=$?
    # "E: Failed to fetch URI/dists/SUITE/PATH  REASON [IP: ...]"; W: where
    # apt went on without it (with no network at all, it exits 0).
    left_out=$(sed -nE 's/ +\[IP: [^]]*\]//; s|^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/[^ ]* +|\1: |p' <<<"$log" |
        sort -u -t: -k1,1)
    if [ $updated -ne 0 ] && [ -z "$left_out" ]; then
        grep -E '^[EW]: ' <<<"$log" >&2
        exit 1
    fi
    offered=$(APT_CONFIG=$MMDEBSTRAP_APT_CONFIG apt-cache madison wine32 | awk '{ print $3 }' | paste -sd ' ' -)
    if [ -z "$offered" ] && [ -n "$left_out" ]; then
        echo "wine32-root.sh: the i386 package lists could not be fetched: $(awk 'NR > 1 { printf "; " } { printf "%s", $0 }' <<<"$left_out")" >&2
        exit 1
    fi
    [ -z "$left_out" ] || sed 's/^\([^:]*\): /wine32-root.sh: leaving out \1 for i386: /' <<<"$left_out" >&2
    if [[ " $offered " != *" $version "* ]]; then
        echo "wine32-root.sh: wine32 $version (the installed wine64's version) is not offered for i386;" \
            "offered: ${offered:-none}" >&2
        exit 1
    fi
    exit 0
fi

cd "$here/.."
source tools/install-missing.sh
# All that the root and Wine's runner need, before anything is fetched.
needs wine
needs_user_namespace
# Where this kernel runs no 32-bit code, the loader runs under qemu-i386.
arch-test -n i386 >/dev/null 2>&1 || needs_qemu
stop_if_missing
version=$(dpkg-query -W -f='${Version}' wine64)
# Without the epoch, as Debian names the package's files.
root=$PWD/build/wine32-${version#*:}
# The loader names its dynamic linker by absolute path: a root moved with
# its checkout is pointed at it again.
linker=$root/lib/ld-linux.so.2
rpath='$ORIGIN/../../../lib/i386-linux-gnu:$ORIGIN/../i386-linux-gnu'
point_loader() { # ROOT
    local loader=$1/usr/lib/wine/wine
    [ "$(patchelf --print-interpreter "$loader")" = "$linker" ] ||
        patchelf --set-interpreter "$linker" "$loader"
    [ "$(patchelf --print-rpath "$loader")" = "$rpath" ] ||
        patchelf --force-rpath --set-rpath "$rpath" "$loader"
}
reuse() {
    # A root made before the preloader was in it is made again.
    [ -e "$root/usr/lib/wine/wine-preloader" ] || return 1
    point_loader "$root"
    echo "$root"
}
reuse && exit 0

mkdir -p build
exec 9>build/wine32.lock
flock 9
reuse && exit 0
# Made under another name and renamed once whole, with every temporary
# file (mmdebstrap's too) in build/wine32.tmp: a make cut short (CTest
# kills a timed-out test's whole tree) leaves only these, never used and
# removed by the next make. Files made in a user namespace belong to
# subordinate ids: removed in another such namespace, and the folders that
# held them, empty then and in the caller's own folder, outside it.
remove() {
    rm -rf "$@" 2>/dev/null && return 0
    [ "$(id -u)" -eq 0 ] || mmdebstrap --unshare-helper rm -rf "$@" 2>/dev/null || true
    rm -rf "$@"
}
tmp=$PWD/build/wine32.tmp
remove "$root" "$root".partial.* "$tmp"
mkdir "$tmp"
export TMPDIR=$tmp
partial=$root.partial.$$
trap 'remove "$tmp" "$partial" || true' EXIT
apt_sources >"$tmp/sources.list"
mode=unshare
[ "$(id -u)" -ne 0 ] || mode=root
started=$(date +%s)
# extract: wine32 and what it depends on are unpacked, nothing is run. As
# a tar unpacked here, so that the files are the caller's own, who can
# change and remove them: made in a user namespace, they would belong to
# a subordinate uid.
mkdir "$partial"
made=0
mmdebstrap --mode=$mode --variant=extract --architectures=i386 \
    --include="wine32=$version,wine32-preloader=$version" \
    --setup-hook="bash '$here/wine32-root.sh' update-lists '$version'" --skip=update \
    "$codename" - "$tmp/sources.list" 2>"$tmp/log" |
    tar -x -C "$partial" --exclude='./dev/*' 2>>"$tmp/log" ||
    made=$?
# The hook's own lines; mmdebstrap's tail where it failed for another reason.
if ! grep '^wine32-root.sh: ' "$tmp/log" >&2 && [ $made -ne 0 ]; then
    echo "wine32-root.sh: mmdebstrap failed:" >&2
    tail -20 "$tmp/log" >&2
fi
[ $made -eq 0 ] || exit 1

# What libwine's maintainer script would have done: Wine's zlib1.dll,
# MinGW's build marked as a Wine builtin. user32.dll needs it.
mingw_zlib=$partial/usr/i686-w64-mingw32/lib/zlib1.dll
{
    head -c 64 "$mingw_zlib"
    printf 'Wine builtin DLL'
    head -c 16 /dev/zero
    tail -c +97 "$mingw_zlib"
} >"$partial/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
# The loader runs on this machine: its dynamic linker is the root's. Wine
# finds the rest beside the loader: its own files, the 64-bit loader and
# the server, which are the system's.
bin=$partial/usr/lib/wine
point_loader "$partial"
system=$(dirname "$(dpkg -L wine64 | grep -m1 '/wine64$')")
ln -sfn "$system/wine64" "$bin/wine64"
ln -sfn "$system/wineserver" "$bin/wineserver"
mv "$partial" "$root"
echo "wine32-root.sh: made $(basename "$root"): $(du -sm "$root" | cut -f1) MB in $(($(date +%s) - started)) s" >&2
echo "$root"
