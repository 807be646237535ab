#!/usr/bin/env bash
# Checks a built Windows program against how it ships, reading the file:
#   inspect_windows_program.sh EXE PROCESSOR OBJDUMP
# PROCESSOR is x86 or AMD64.
set -uo pipefail
exe=$1 processor=$2 objdump=$3
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

# The Machine field itself, at e_lfanew + 4, little-endian.
offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx1 -j$((offset + 4)) -N2 "$exe" | tr -d ' ')
if [ "$processor" = x86 ]; then
    check "PE32 for i386" has 'file format pei-i386'
    check "Machine field 0x014C (has: $machine)" test "$machine" = 4c01
    # COFF Characteristics 0x0020: the 2 GiB view limit depends on its absence.
    check "not large-address-aware" lacks 'large address aware'
else
    check "PE32+ for x86-64" has 'file format pei-x86-64'
    check "Machine field 0x8664 (has: $machine)" test "$machine" = 6486
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

exit $((failures > 0))
