#!/usr/bin/env bash
# Builds isi386 and runs its whole test suite. Installs what the build and
# the tests need with apt-get when it is missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v setpriv >/dev/null || need+=(util-linux)
command -v prlimit >/dev/null || need+=(util-linux)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${need[*]}; install them, or run this as root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

werror=()
[ -n "${CI:-}" ] && werror=(-DISI386_WERROR=ON)

cmake --preset native "${werror[@]}" >/dev/null
cmake --build --preset native -j "$(nproc)"
ctest --preset native -j "$(nproc)"
