#!/usr/bin/env bash
# Runs the README's cmd example, as written there, under Wine's cmd.exe:
#   readme_cmd_test.sh README ISI386_EXE SAMPLES_DIR RUNNER PREFIX
# setup.exe is a 32-bit x86 image and plugin.dll an x86-64 one, so the
# example must print "32-bit x86", then "not x86".
set -uo pipefail
readme=$1 program=$2 samples=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/isi386.exe"
cp "$samples/x86.exe" "$work/setup.exe"
cp "$samples/x64.exe" "$work/plugin.dll"
{
    echo '@echo off'
    awk '/^```bat$/ { inside = 1; next } /^```$/ { if (inside) exit } inside' "$readme"
} | sed 's/$/\r/' >"$work/example.cmd"
[ "$(wc -l <"$work/example.cmd")" -gt 1 ] || { echo "FAILED: no \`\`\`bat block in $readme"; exit 1; }
output=$(cd "$work" && "$@" cmd /c example.cmd 2>&1 | tr -d '\r')
expected=$'32-bit x86\nnot x86'
if [ "$output" != "$expected" ]; then
    echo "FAILED: the README's cmd example printed:"
    echo "$output"
    echo "expected:"
    echo "$expected"
    exit 1
fi
echo "ok: the README's cmd example prints what it says"
