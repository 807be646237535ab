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
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko installers on the first start of a prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${ISI386_WINE_DIR:-/usr/lib/wine}
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
    "$wine/wine64" wineboot --init </dev/null >/dev/null 2>&1
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
    exec "$wine/wine64" "$@"
fi
if ! uses_qemu; then
    exec "$wine/wine" "$@"
fi
# The loader re-executes itself unless told not to, which would leave qemu.
# Under qemu a page fault reaches Wine as an illegal instruction, so tests
# that provoke faults are told.
export WINELOADERNOEXEC=1 ISI386_UNDER_QEMU=1
exec qemu-i386 -L / "$wine/wine" "$@"
