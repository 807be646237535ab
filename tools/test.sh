#!/usr/bin/env bash
# Builds isi386 and runs its whole test suite:
#   native       unit and end-to-end tests, statically linked Release build
#   sanitize     the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   memcheck     the end-to-end cases under valgrind memcheck
#   fuzz         fuzz_image_probe for FUZZ_SECONDS (default 30) from fuzz/corpus
#   windows-x86  the shipped 32-bit program, inspected as a file
#   windows-x64  the same sources for x86-64, the test suite under wine64
# plus clang-format and clang-tidy, and the .deb and .zip packages
# (tools/package.sh). Installs what it needs with apt-get when
# missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
have clang++ || need+=(clang)
have clang-format || need+=(clang-format)
have clang-tidy || need+=(clang-tidy)
have valgrind || need+=(valgrind)
have git || need+=(git)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest ] || need+=(googletest)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    need+=("libclang-rt-$(clang++ --version 2>/dev/null | sed -n 's/.*version \([0-9]*\).*/\1/p' | head -1)-dev")
have setpriv && have prlimit || need+=(util-linux)
have i686-w64-mingw32-g++-posix && have x86_64-w64-mingw32-g++-posix || need+=(mingw-w64)
[ -x /usr/lib/wine/wine64 ] || have wine64 || need+=(wine64)
# clang may itself be among the missing; its runtime package is then named
# for the version apt brings.
for i in "${!need[@]}"; do [ "${need[$i]}" = libclang-rt--dev ] && need[i]=libclang-rt-dev; done
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
presets=(native sanitize memcheck fuzz windows-x86 windows-x64)

# The x86 inspection runs the native program, so native comes first.
for preset in "${presets[@]}"; do
    echo "== build: $preset"
    cmake --preset "$preset" "${options[@]}" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" >/dev/null
done

status=0
passed=0
failed=0
# A check that is not a CTest suite counts as one test.
count() { # exit status of the check
    if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
}

echo "== lint"
lint=0
bash tools/lint.sh || lint=$?
count $lint

# Wine's first start in a new prefix takes seconds: do it once, not in every
# test at the same time.
echo "== starting wine"
cmake/wine-run.sh "$PWD/build/windows-x64/wineprefix" wineboot --init >/dev/null 2>&1

for preset in native sanitize memcheck windows-x86 windows-x64; do
    echo "== test: $preset"
    ctest --preset "$preset" -j "$jobs" | tee "build/$preset/ctest.log" || status=1
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "build/$preset/ctest.log" || true)
    total=$(sed -n 's/.* out of \([0-9]*\).*/\1/p' <<<"$summary")
    bad=$(sed -n 's/.*passed, \([0-9]*\) tests\{0,1\} failed.*/\1/p' <<<"$summary")
    [ -n "$total" ] || { status=1; continue; }
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done

echo "== fuzz: fuzz_image_probe, ${FUZZ_SECONDS:-30} s"
rm -rf build/fuzz/corpus && mkdir -p build/fuzz/corpus
if build/fuzz/fuzz_image_probe -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 \
    build/fuzz/corpus fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
    grep -E '^stat::number_of_executed_units' build/fuzz/fuzz.log
    count 0
else
    tail -30 build/fuzz/fuzz.log
    count 1
fi
echo "== packages"
packages=0
bash tools/package.sh || packages=$?
count $packages

echo "all suites: $passed passed, $failed failed"
exit $status
