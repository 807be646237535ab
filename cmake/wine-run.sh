#!/bin/sh
# Runs a Windows program under Wine, in the prefix PREFIX:
#   wine-run.sh PREFIX PROGRAM [ARG...]
#   wine-run.sh PREFIX start    start a persistent wineserver; boot the prefix
#   wine-run.sh PREFIX stop     stop that server
#   wine-run.sh PREFIX uses-qemu   exit 0 when 32-bit programs run under qemu
# A 32-bit x86 program runs under Wine's 32-bit loader, any other under
# wine64. Where the kernel cannot run 32-bit code, the 32-bit loader runs
# under qemu-i386; ISI386_WINE_QEMU=1 makes it do so anywhere. Debian puts
# neither loader on PATH.
#
# Wine's own error lines go to PREFIX/wine.log, not into the program's
# stderr. When Wine fails to start the program (it wrote nothing but such
# lines), the start is tried again, twice at most; then the runner says so
# on stderr and exits 125: never an answer of the program's.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all,err+all
# No Mono or Gecko installers on the first start of a prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${ISI386_WINE_DIR:-/usr/lib/wine}
# Address randomisation off for the loaders. Debian's Wine has no
# preloader, so a randomised heap can take the place where Wine must put
# the shared user data (0x7ffe0000), and the program never starts.
fixed="setarch $(uname -m) -R"
uses_qemu() {
    [ "${ISI386_WINE_QEMU:-0}" != 0 ] || ! "$wine/wine" --version >/dev/null 2>&1
}

case $1 in
start)
    mkdir -p "$prefix" # the server keys on an existing folder
    # The server, and the helpers (services, explorer) that the prefix's
    # first process starts, outlive their caller: with the caller's output
    # they would hold a test runner's pipe open, so they get /dev/null.
    # A server already up for this prefix refuses to start again: fine.
    "$wine/wineserver" -p </dev/null >/dev/null 2>&1
    # A 64-bit prefix booted by wine64 has SysWOW64 for 32-bit programs.
    $fixed "$wine/wine64" wineboot --init </dev/null >/dev/null 2>&1
    exit 0
    ;;
stop)
    "$wine/wineserver" -k 2>/dev/null
    exit 0
    ;;
uses-qemu)
    uses_qemu
    exit
    ;;
esac

if [ "$(sh "$(dirname "$0")/../tools/pe-machine.sh" "$1")" != 4c01 ]; then
    loader="$wine/wine64"
elif ! uses_qemu; then
    loader="$wine/wine"
else
    # The loader re-executes itself unless told not to, which would leave
    # qemu. Under qemu a page fault reaches Wine as an illegal instruction,
    # so tests that provoke faults are told.
    export WINELOADERNOEXEC=1 ISI386_UNDER_QEMU=1
    loader="qemu-i386 -L / $wine/wine"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# "err:channel:function ...", "0024:err:...", "wine: ...".
wine_line='^([0-9a-f]+:)*(err|fixme|warn|trace):[A-Za-z0-9_]*:|^wine: '
for try in 1 2 3; do
    status=0
    $fixed $loader "$@" >"$work/out" 2>"$work/err" || status=$?
    grep -E "$wine_line" "$work/err" >"$work/wine"
    grep -vE "$wine_line" "$work/err" >"$work/program"
    if [ -s "$work/wine" ]; then
        { echo "== $(date -u +%FT%TZ) $* (status $status)"; cat "$work/wine"; } >>"$prefix/wine.log"
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
echo "wine-run.sh: Wine did not start $1 in 3 tries: $(head -n 1 "$work/wine")" >&2
exit 125
