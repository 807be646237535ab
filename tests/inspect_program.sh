#!/usr/bin/env bash
# Checks a built program against how it ships, reading the file:
#   inspect_program.sh PROGRAM PROCESSOR OBJDUMP
# PROCESSOR is x86 or AMD64 for a Windows program, anything else for the
# Linux one. PROGRAM must still have its symbols (the canary check).
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
# The guarded read holds arrays, so -fstack-protector-strong gives it a canary.
read_view=$("$objdump" -d --no-show-raw-insn "$exe" | awk '/<_?_ZN6isi3869read_view.*>:$/,/^$/')
check "stack canary in read_view" grep -q '__stack_chk_fail' <<<"$read_view"

if [ "$processor" != x86 ] && [ "$processor" != AMD64 ]; then
    elf=$(readelf -hld "$exe")
    check "position-independent (ELF type DYN)" grep -q 'Type: *DYN' <<<"$elf"
    check "static: no interpreter" bash -c '! grep -q INTERP <<<"$0"' "$elf"
    check "FLAGS_1 NOW and PIE" grep -Eq 'FLAGS_1.*Flags: NOW PIE' <<<"$elf"
    check "GNU_RELRO" grep -q GNU_RELRO <<<"$elf"
    exit $((failures > 0))
fi

machine=$(sh "$(dirname "$0")/../tools/pe-machine.sh" "$exe")
if [ "$processor" = x86 ]; then
    check "PE32 for i386" has 'file format pei-i386'
    check "Machine field 0x014C (has: $machine)" test "$machine" = 4c01
    # COFF Characteristics 0x0020: the 2 GiB view limit depends on its absence.
    check "not large-address-aware" lacks 'large address aware'
else
    check "PE32+ for x86-64" has 'file format pei-x86-64'
    check "Machine field 0x8664 (has: $machine)" test "$machine" = 6486
    check "DllCharacteristics HIGH_ENTROPY_VA" has '^[[:space:]]+HIGH_ENTROPY_VA$'
fi
check "DllCharacteristics DYNAMIC_BASE" has '^[[:space:]]+DYNAMIC_BASE$'
check "DllCharacteristics NX_COMPAT" has '^[[:space:]]+NX_COMPAT$'
check "no link time in the header" has 'Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970'
check "console subsystem" has 'Subsystem[[:space:]]+00000003'
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | sort | tr '\n' ' ')
check "imports only KERNEL32.dll and msvcrt.dll (has: $dlls)" test "$dlls" = "KERNEL32.dll msvcrt.dll "
# Resource type 24 (RT_MANIFEST), name 1, holding the manifest text.
check "RT_MANIFEST resource, id 1" grep -Eq 'Entry: ID: 0x000018,' <<<"$headers"
check "manifest id 1" grep -Eq '^0[0-9a-f]+ +Entry: ID: 0x000001,' <<<"$headers"
check 'manifest asks for asInvoker, uiAccess false' \
    grep -aq 'level="asInvoker" uiAccess="false"' "$exe"
check 'manifest declares longPathAware' \
    grep -aq 'WindowsSettings">true</longPathAware>' "$exe"
# Resource type 16 (RT_VERSION); its strings are UTF-16, each key then its value.
check "RT_VERSION resource" grep -Eq 'Entry: ID: 0x000010,' <<<"$headers"
version_strings=$(strings -el "$exe" | tr '\n' '|')
for pair in "FileDescription|Tells whether a PE/COFF image declares Intel 386" \
    "FileVersion|${ISI386_VERSION:-1.0.0}" "ProductName|isi386" \
    "ProductVersion|${ISI386_VERSION:-1.0.0}" "OriginalFilename|isi386.exe" \
    "LegalCopyright|Copyright (c) 2026 the isi386 developers"; do
    check "version resource: ${pair/|/ = }" grep -qF "|$pair|" <<<"|$version_strings"
done
exit $((failures > 0))
