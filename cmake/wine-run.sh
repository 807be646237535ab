#!/bin/sh
# Runs a Windows program under Wine, in the prefix PREFIX:
#   wine-run.sh PREFIX PROGRAM [ARG...]
#   wine-run.sh PREFIX start    boot the prefix; start a wineserver for it
#   wine-run.sh PREFIX stop     stop that server
#   wine-run.sh PREFIX uses-qemu   exit 0 when 32-bit programs run under qemu
# A 32-bit x86 program runs under Wine's 32-bit loader, any other under
# wine64. The 32-bit loader comes from an i386 root of its own
# (tools/wine32-root.sh, made at the first start); where the kernel cannot
# run 32-bit code, it runs under qemu-i386, and ISI386_WINE_QEMU=1 makes it
# do so anywhere. Debian puts neither loader on PATH. A program run in a
# prefix not yet booted boots it first.
#
# Wine's own error lines go to PREFIX/wine.log (the previous run's to
# wine.log.old), not into the program's stderr. When Wine fails to start the
# program (it wrote nothing but such lines), the start is tried again, twice
# at most; then, as whenever Wine cannot run the program or the prefix
# cannot be started, the runner says why on stderr and exits 125: never an
# answer of the program's.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all,err+all
# No Mono or Gecko installers on the first start of a prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${ISI386_WINE_DIR:-/usr/lib/wine}
here=$(dirname "$0")
# The root's 32-bit loader (tools/wine32-root.sh, named in the prefix at its
# start): wine32 ARG... Natively it starts the root's preloader itself, which
# places what Wine must put at fixed addresses before anything else is
# mapped, so address randomisation never takes their place. Under qemu-i386
# the guest's addresses are qemu's to place, and the loader must not exec
# itself again: that would leave qemu.
wine32() {
    if [ -n "$qemu" ]; then
        WINELOADERNOEXEC=1 qemu-i386 "$loader" "$@"
    else
        "$loader" "$@"
    fi
}
uses_qemu() {
    [ "${ISI386_WINE_QEMU:-0}" != 0 ] || [ -e "$prefix/isi386.qemu" ]
}
# The loader that the prefix's start found, and whether qemu runs it.
read_loader() {
    loader="$(cat "$prefix/isi386.wine32" 2>/dev/null)/usr/lib/wine/wine"
    qemu=
    if uses_qemu; then
        qemu="qemu-i386"
    fi
}
fail() {
    echo "wine-run.sh: $*" >&2
    exit 125
}
start() {
    mkdir -p "$prefix" # the server keys on an existing folder
    # Nothing of an earlier start stands until this one is through.
    rm -f "$prefix/isi386.booted" "$prefix/isi386.wine32" "$prefix/isi386.qemu"
    if [ -f "$prefix/wine.log" ]; then
        mv -f "$prefix/wine.log" "$prefix/wine.log.old"
    fi
    root=$(bash "$here/../tools/wine32-root.sh") || fail "no 32-bit loader: tools/wine32-root.sh failed"
    echo "$root" >"$prefix/isi386.wine32"
    # qemu runs the loader where the kernel runs no 32-bit code: the
    # kernel's answer, never taken from a loader that fails.
    if ! arch-test -n i386 >/dev/null 2>&1; then
        : >"$prefix/isi386.qemu"
    fi
    read_loader
    # --version is answered at once only while WINELOADERNOEXEC is unset.
    why=$($qemu "$loader" --version 2>&1 >/dev/null) ||
        fail "the 32-bit loader $loader does not start${qemu:+ under $qemu}: $(echo "$why" | head -n 1)"
    # The server, and the helpers (services, explorer) that the prefix's
    # first process starts, outlive their caller: with the caller's output
    # they would hold a test runner's pipe open, so they get /dev/null. It
    # stays 60 s after its last process, so that an interrupted run leaves
    # nothing behind for long. A server already up for this prefix refuses
    # to start again: fine.
    "$wine/wineserver" -p60 </dev/null >/dev/null 2>&1
    "$wine/wine64" wineboot --init </dev/null >/dev/null 2>&1 ||
        fail "wineboot could not make the prefix $prefix"
    if [ ! -e "$prefix/isi386.wow64" ]; then
        # wineboot installs the 32-bit half of the prefix (SysWOW64) with
        # a 32-bit loader beside wine64, and there is none. Install it
        # here with the root's, from a SysWOW64 seeded with Wine's 32-bit
        # DLLs, the files that install puts there, so that the loader can
        # start.
        wow64="$prefix/drive_c/windows/syswow64"
        mkdir -p "$wow64"
        cp -Rn "$root/usr/lib/i386-linux-gnu/wine/i386-windows/." "$wow64/"
        inf="$(cd -P "$wine/../../share/wine" && pwd -P)/wine.inf"
        wine32 'C:\windows\syswow64\rundll32.exe' \
            setupapi,InstallHinfSection Wow64Install 128 '\\?\unix'"$inf" </dev/null >/dev/null 2>&1 ||
            fail "the prefix's 32-bit half (SysWOW64) could not be installed"
        : >"$prefix/isi386.wow64"
    fi
    : >"$prefix/isi386.booted"
}

case $1 in
start) start && exit 0 ;;
stop) "$wine/wineserver" -k 2>/dev/null; exit 0 ;;
uses-qemu) uses_qemu; exit ;;
esac

[ -e "$prefix/isi386.booted" ] || start
read_loader
program=$1
what=$*
if [ "$(sh "$here/../tools/pe-machine.sh" "$program")" != 4c01 ]; then
    set -- "$wine/wine64" "$@"
else
    [ -x "$loader" ] || fail "no 32-bit loader at $loader: start the prefix again ($0 PREFIX start)"
    # Under qemu a page fault reaches Wine as an illegal instruction, so
    # tests that provoke faults are told.
    [ -z "$qemu" ] || export ISI386_UNDER_QEMU="$qemu"
    set -- wine32 "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# "err:channel:function ...", "0024:err:...", "wine: ...".
wine_line='^([0-9a-f]+:)*(err|fixme|warn|trace):[A-Za-z0-9_]*:|^wine: '
for try in 1 2 3; do
    status=0
    "$@" >"$work/out" 2>"$work/err" || status=$?
    grep -E "$wine_line" "$work/err" >"$work/wine"
    grep -vE "$wine_line" "$work/err" >"$work/program"
    if [ -s "$work/wine" ]; then
        { echo "== $(date -u +%FT%TZ) $what (status $status)"; cat "$work/wine"; } >>"$prefix/wine.log"
    fi
    # Nothing of the program's own, and Wine complained: whatever the
    # status, the program never got as far as writing.
    if [ -s "$work/out" ] || [ -s "$work/program" ] || [ ! -s "$work/wine" ]; then
        cat "$work/out"
        cat "$work/program" >&2
        exit "$status"
    fi
    echo "== Wine did not start the program (try $try)" >>"$prefix/wine.log"
done
fail "Wine did not start $program in 3 tries: $(head -n 1 "$work/wine")"
