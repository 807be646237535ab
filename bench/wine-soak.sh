#!/usr/bin/env bash
# Starts a Windows isi386.exe through cmake/wine-run.sh many times, JOBS at
# once, and counts how often Wine failed to start it (the runner's log) and
# how often a run answered anything but "0" for a 64-bit image:
#   bash bench/wine-soak.sh PROGRAM [STARTS] [JOBS]
# Not part of the test suite: it takes minutes.
set -uo pipefail
cd "$(dirname "$0")/.." || exit
program=$(realpath "$1") starts=${2:-3000} jobs=${3:-4}
work=$(mktemp -d)
trap 'sh cmake/wine-run.sh "$work/prefix" stop; rm -rf "$work"' EXIT
sh cmake/wine-run.sh "$work/prefix" start
run_some() { # count
    local wrong=0
    for ((i = 0; i < $1; i++)); do
        [ "$(sh cmake/wine-run.sh "$work/prefix" "$program" "$PWD/samples/x64.exe" 2>&1 | tr -d "\r")" = 0 ] ||
            wrong=$((wrong + 1))
    done
    echo "$wrong"
}
export -f run_some
export program work
started=$(date +%s)
wrong=$(for ((j = 0; j < jobs; j++)); do run_some $((starts / jobs)) & done | awk '{ n += $1 } END { print n }')
failed=$(grep -c '^== Wine did not start' "$work/prefix/wine.log" 2>/dev/null)
echo "$((starts / jobs * jobs)) starts of $(basename "$program") in $(($(date +%s) - started)) s," \
    "$jobs at once: ${failed:-0} failed Wine starts (retried), $wrong wrong answers"
