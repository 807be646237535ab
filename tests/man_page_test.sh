#!/usr/bin/env bash
# The man page against the program: groff finds nothing to warn about, and
# every status in EXIT STATUS comes with the stream and the line the program
# really writes for it.
#   man_page_test.sh ISI386 MAN_PAGE SAMPLES_DIR
set -uo pipefail
program=$1 page=$2 samples=$3
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

warnings=$(groff -ww -z -man "$page" 2>&1) || fail "groff exited non-zero"
[ -z "$warnings" ] || fail "groff warns: $warnings"

# Each EXIT STATUS entry is ".TP", ".B status", ".I stream:", ".B line".
documented=$(awk '
    /^\.SH / { in_section = ($0 == ".SH EXIT STATUS"); next }
    !in_section { next }
    /^\.TP/ { state = 1; next }
    state == 1 && /^\.B / { status = substr($0, 4); state = 2; next }
    state == 2 && /^\.I / { stream = substr($0, 4); sub(/:$/, "", stream); state = 3; next }
    state == 3 && /^\.B / { print status "|" stream "|" substr($0, 4); state = 0 }
' "$page")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty"
cp "$samples/x86.exe" "$work/big.exe" && truncate -s 1G "$work/big.exe"

# What the program writes, and on which stream, for one way to reach each status.
observe() { # status, then the command
    local status=$1
    shift
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" = "$status" ] || fail "expected status $status from '$*', got $got"
    if [ -s "$work/out" ]; then
        echo "$status|standard output|$(cat "$work/out")"
    else
        echo "$status|standard error|$(cat "$work/err")"
    fi
}
observed=$(
    observe 0 "$program" "$samples/x86.exe"
    observe 1 "$program" "$samples/x64.exe"
    observe 2 "$program"
    observe 3 "$program" "$work/no such file"
    observe 4 "$program" "$work/empty"
    observe 5 prlimit --as=268435456 -- "$program" "$work/big.exe"
)

if [ "$documented" != "$observed" ]; then
    fail "EXIT STATUS in $page differs from the program"
    diff <(echo "$documented") <(echo "$observed") | sed 's/^/  /'
else
    echo "ok: $(wc -l <<<"$documented") statuses documented as the program writes them"
fi
exit $((failures > 0))
