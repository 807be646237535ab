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

source tools/install-missing.sh
needs cmake has cmake
needs g++ has g++
needs clang has clang++
needs clang-format has clang-format
needs clang-tidy has clang-tidy
needs valgrind has valgrind
needs git has git
needs libgtest-dev test -f /usr/include/gtest/gtest.h
needs googletest test -d /usr/src/googletest
# libFuzzer's runtime, for the default clang.
needs libclang-rt-dev compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
needs util-linux has setpriv
needs util-linux has prlimit
needs mingw-w64 has i686-w64-mingw32-g++-posix
needs mingw-w64 has x86_64-w64-mingw32-g++-posix
needs wine64 test -x /usr/lib/wine/wine64
install_needed

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

# One wineserver for the whole suite, started before anything else: Wine's
# helper processes (services, explorer) then start once, here, with their
# output on /dev/null. Started by a test, they would hold its output pipe
# open until the server shut down, seconds after every test.
echo "== starting wine"
mkdir -p build/windows-x64/wineprefix # the server keys on an existing folder
wine=(cmake/wine-run.sh "$PWD/build/windows-x64/wineprefix")
"${wine[@]}" wineserver -p
trap '"${wine[@]}" wineserver -k || true' EXIT
"${wine[@]}" wineboot --init >/dev/null 2>&1

for preset in native sanitize memcheck windows-x86 windows-x64; do
    echo "== test: $preset"
    # Under Wine one at a time: with the server up that takes seconds, and
    # parallel process creation is where Wine stumbles.
    test_jobs=$jobs
    [ "$preset" = windows-x64 ] && test_jobs=1
    ctest --preset "$preset" -j "$test_jobs" | tee "build/$preset/ctest.log" || status=1
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
