#!/usr/bin/env bash
# Checks a built Windows program against how it ships, reading the file
# only (a 32-bit program cannot run on this machine):
#   inspect_windows_program.sh EXE PROCESSOR OBJDUMP [ISI386]
# PROCESSOR is x86 or AMD64; ISI386, when given, is a runnable isi386 that
# must answer 1 for an x86 program and 0 for an x64 one.
set -uo pipefail
exe=$1 processor=$2 objdump=$3 checker=${4:-}
failures=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

headers=$("$objdump" -p "$exe") || { echo "FAILED: $objdump cannot read $exe"; exit 1; }
has() { grep -Eq -- "$1" <<<"$headers"; }
lacks() { ! grep -Eq -- "$1" <<<"$headers"; }

if [ "$processor" = x86 ]; then
    check "PE32 for i386" has 'file format pei-i386'
    # COFF Characteristics 0x0020: the 2 GiB view limit depends on its absence.
    check "not large-address-aware" lacks 'large address aware'
    expected_answer=1
else
    check "PE32+ for x86-64" has 'file format pei-x86-64'
    expected_answer=0
fi
check "console subsystem" has 'Subsystem[[:space:]]+00000003'
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | sort | tr '\n' ' ')
check "imports only KERNEL32.dll and msvcrt.dll (has: $dlls)" test "$dlls" = "KERNEL32.dll msvcrt.dll "
# Resource type 24 (RT_MANIFEST), name 1, holding the manifest text.
check "RT_MANIFEST resource, id 1" \
    grep -Eq 'Entry: ID: 0x000018,' <<<"$headers"
check "manifest id 1" grep -Eq '^0[0-9a-f]+ +Entry: ID: 0x000001,' <<<"$headers"
check 'manifest asks for asInvoker, uiAccess false' \
    grep -aq 'level="asInvoker" uiAccess="false"' "$exe"

if [ -n "$checker" ]; then
    if [ -x "$checker" ]; then
        answer=$("$checker" "$exe")
        check "isi386 answers $expected_answer for it" test "$answer" = "$expected_answer"
    else
        echo "FAILED: no runnable isi386 at $checker (build the native preset first)"
        failures=$((failures + 1))
    fi
fi
exit $((failures > 0))
