#!/usr/bin/env bash
# Checks a built program against how it ships, reading the file:
#   inspect_program.sh PROGRAM KIND OBJDUMP OBJECT
# KIND is x86 or AMD64 for a Windows program; static-pie, or static where
# the C library can make no static-pie, for a Linux one, whose relocations
# are packed where ISI386_RELR is 1. OBJECT is the object file that holds
# read_view (the canary check).
set -uo pipefail
exe=$1 processor=$2 objdump=$3 objects=$4
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
# The guarded read holds arrays, so -fstack-protector-strong gives it a
# canary. Its object names the guard or the check everywhere (a MIPS program
# reaches them unnamed; RISC-V's relaxed labels cut the listing short).
read_view=$("$objdump" -dr --no-show-raw-insn "$objects" | awk '/<_?_ZN6isi3869read_view.*>:$/,/^$/')
check "stack canary in read_view" grep -Eq '__stack_chk_(fail|guard)' <<<"$read_view"

if [ "$processor" = static-pie ] || [ "$processor" = static ]; then
    elf=$(readelf -hld "$exe")
    check "static: no interpreter" bash -c '! grep -q INTERP <<<"$0"' "$elf"
    check "GNU_RELRO" grep -q GNU_RELRO <<<"$elf"
    if [ "$processor" = static ]; then
        check "ELF type EXEC" grep -q 'Type: *EXEC' <<<"$elf"
        exit $((failures > 0))
    fi
    check "position-independent (ELF type DYN)" grep -q 'Type: *DYN' <<<"$elf"
    check "FLAGS_1 NOW and PIE" grep -Eq 'FLAGS_1.*Flags: NOW PIE' <<<"$elf"
    [ "${ISI386_RELR:-}" != 1 ] || check "packed relative relocations (DT_RELR)" grep -q '(RELR)' <<<"$elf"
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
# Windows refuses a program whose subsystem version is newer than itself.
subsystem=5.1
[ "$processor" = x86 ] || subsystem=5.2
check "subsystem version $subsystem (Windows XP)" bash -c \
    'grep -Eq "^MajorSubsystemVersion[[:space:]]+${1%.*}$" <<<"$0" && grep -Eq "^MinorSubsystemVersion[[:space:]]+${1#*.}$" <<<"$0"' \
    "$headers" "$subsystem"
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | sort | tr '\n' ' ')
check "imports only KERNEL32.dll and msvcrt.dll (has: $dlls)" test "$dlls" = "KERNEL32.dll msvcrt.dll "
# Every function either program imports, each one there since Windows XP
# (32-bit) and Windows XP x64 Edition: the oldest Windows it runs on. A
# newer one is looked up at run time instead (GetProcAddress).
since_xp=" KERNEL32.dll:AddVectoredExceptionHandler KERNEL32.dll:CloseHandle
KERNEL32.dll:CreateFileMappingW KERNEL32.dll:CreateFileW KERNEL32.dll:DeleteCriticalSection
KERNEL32.dll:EnterCriticalSection KERNEL32.dll:FreeLibrary KERNEL32.dll:GetCurrentProcess
KERNEL32.dll:GetCurrentProcessId KERNEL32.dll:GetCurrentThreadId KERNEL32.dll:GetFileSizeEx
KERNEL32.dll:GetFileType KERNEL32.dll:GetFullPathNameW
KERNEL32.dll:GetLastError KERNEL32.dll:GetModuleHandleA KERNEL32.dll:GetModuleHandleW
KERNEL32.dll:GetProcAddress KERNEL32.dll:GetStartupInfoW KERNEL32.dll:GetSystemTimeAsFileTime
KERNEL32.dll:GetTickCount KERNEL32.dll:InitializeCriticalSection KERNEL32.dll:LeaveCriticalSection
KERNEL32.dll:LoadLibraryA KERNEL32.dll:MapViewOfFile KERNEL32.dll:QueryPerformanceCounter
KERNEL32.dll:RemoveVectoredExceptionHandler KERNEL32.dll:RtlCaptureContext KERNEL32.dll:SetErrorMode
KERNEL32.dll:SetUnhandledExceptionFilter KERNEL32.dll:Sleep KERNEL32.dll:TerminateProcess
KERNEL32.dll:TlsGetValue KERNEL32.dll:UnmapViewOfFile KERNEL32.dll:VirtualProtect
KERNEL32.dll:VirtualQuery KERNEL32.dll:__C_specific_handler msvcrt.dll:__iob_func
msvcrt.dll:__p__commode msvcrt.dll:__p__fmode msvcrt.dll:__p__wcmdln msvcrt.dll:__set_app_type
msvcrt.dll:__setusermatherr msvcrt.dll:__wgetmainargs msvcrt.dll:__winitenv msvcrt.dll:_amsg_exit
msvcrt.dll:_cexit msvcrt.dll:_commode msvcrt.dll:_fmode msvcrt.dll:_initterm msvcrt.dll:_iob
msvcrt.dll:_onexit msvcrt.dll:_wcmdln msvcrt.dll:abort msvcrt.dll:calloc msvcrt.dll:exit
msvcrt.dll:fflush msvcrt.dll:fprintf msvcrt.dll:free msvcrt.dll:fwrite msvcrt.dll:malloc
msvcrt.dll:memcpy msvcrt.dll:signal msvcrt.dll:strlen msvcrt.dll:strncmp msvcrt.dll:vfprintf "
imports=$(awk '/DLL Name:/ { dll = $3; next } dll && NF == 0 { dll = "" }
    dll && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll ":" $3 }' <<<"$headers")
newer=$(for import in $imports; do [[ $since_xp = *[[:space:]]${import}[[:space:]]* ]] || echo "$import"; done)
check "imports $(wc -w <<<"$imports") functions, all there since Windows XP (newer: ${newer:-none})" \
    test -z "$newer"
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
