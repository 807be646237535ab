#!/usr/bin/env bash
# Builds isi386 for this machine and for Windows (x86 and x64) and runs the
# whole test suite: natively, the x64 program under wine64, and an inspection
# of the x86 program. Installs what it needs with apt-get when missing (as
# root).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest ] || need+=(googletest)
have setpriv && have prlimit || need+=(util-linux)
have i686-w64-mingw32-g++-posix && have x86_64-w64-mingw32-g++-posix || need+=(mingw-w64)
[ -x /usr/lib/wine/wine64 ] || have wine64 || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${need[*]}; install them, or run this as root" >&2
        exit 1
    fi
    echo "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" \
        >/dev/null
fi

options=()
[ -n "${CI:-}" ] && options=(-DISI386_WERROR=ON)
jobs=$(nproc)

# The x86 inspection runs the native program, so native comes first.
for preset in native windows-x86 windows-x64; do
    echo "== build: $preset"
    cmake --preset "$preset" "${options[@]}" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" >/dev/null
done

# Wine's first start in a new prefix takes seconds: do it once, not in every
# test at the same time.
echo "== starting wine"
cmake/wine-run.sh "$PWD/build/windows-x64/wineprefix" wineboot --init >/dev/null 2>&1

status=0
for preset in native windows-x86 windows-x64; do
    echo "== test: $preset"
    ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
