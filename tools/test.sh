#!/usr/bin/env bash
# Builds isi386 and runs its whole test suite:
#   native       unit and end-to-end tests, statically linked Release build
#   sanitize     the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   memcheck     the end-to-end cases under valgrind memcheck
#   fuzz         fuzz_image_probe for FUZZ_SECONDS (default 30) from fuzz/corpus
#   windows-x86  the shipped 32-bit program: inspected, its in-process tests
#                under Wine's 32-bit loader from an i386 root of its own
#                (tools/wine32-root.sh; under qemu-i386 where the kernel runs
#                no 32-bit code), the end-to-end cases driven from the native
#                test program
#   windows-x64  the same for the x86-64 build, under wine64
#   linux-arm64, linux-armhf, linux-i386, linux-ppc64el, linux-s390x,
#   linux-riscv64
#                the Linux program for each other architecture, built with
#                Debian's cross compiler: inspected, its in-process tests
#                under qemu-user, the end-to-end cases driven from the
#                native test program
# plus clang-format and clang-tidy (tools/lint.sh), and the downloads:
# built (tools/package.sh: the source package, and from it the .debs
# through dpkg-buildpackage and two zips), checked with lintian, the
# as-installed tests and more (tools/check_packages.sh), and built again
# to show they are reproducible (tools/reproduce.sh). Installs what it needs
# with apt-get when missing (as root), packages of this machine's
# architecture only.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/install-missing.sh
needs cmake has cmake
needs g++ has g++
needs clang has clang++
# Pinned: .clang-tidy makes every warning an error, and a newer clang
# warns of more.
needs clang-format-14 has clang-format-14
needs clang-tidy-14 has clang-tidy-14
needs lintian has lintian
needs zip has zip
needs unzip has unzip
needs valgrind has valgrind
needs git has git
needs libgtest-dev test -f /usr/include/gtest/gtest.h
needs googletest test -d /usr/src/googletest
# libFuzzer's runtime, for the default clang.
needs libclang-rt-dev compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
# faultfs, the file system that makes mapped reads fail on purpose.
needs libfuse3-dev test -f /usr/include/fuse3/fuse.h
needs pkgconf has pkg-config
needs util-linux has setpriv
needs util-linux has prlimit
needs mingw-w64 has i686-w64-mingw32-g++-posix
needs mingw-w64 has x86_64-w64-mingw32-g++-posix
needs_wine32
# The other Linux architectures: cross compilers, qemu-user; their .debs.
needs_cross
needs debhelper has dh
needs autopkgtest has autopkgtest
needs build-essential installed build-essential
needs groff-base has groff
# reprotest varies the time with faketime and the file order with disorderfs.
needs reprotest has reprotest
needs diffoscope-minimal has diffoscope
needs faketime has faketime
needs disorderfs has disorderfs
install_needed
# Wine's 32-bit half: an i386 root under build/, made once (it says so when
# it does). Should it fail, the Windows suites fail at their start, and the
# rest still runs.
bash tools/wine32-root.sh >/dev/null || true

options=()
[ "${ISI386_STRICT:-}" != 1 ] || options=(-DISI386_WERROR=ON)
jobs=$(nproc)
# Both Windows presets, and linux-ARCH for every Linux architecture but ours.
cross=(windows-x86 windows-x64)
mapfile -t -O ${#cross[@]} cross < <(linux_architectures | awk 'NR > 1 { print "linux-" $1 }')
presets=(native sanitize memcheck fuzz "${cross[@]}")

# The cross presets run the native test program, so native comes first.
for preset in "${presets[@]}"; do
    echo "== build: $preset"
    cmake --preset "$preset" "${options[@]}" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" >/dev/null
done

status=0
passed=0
failed=0
skipped=0
# A check that is not a CTest suite counts as one test.
count() { # exit status of the check
    if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
}

step() { # a check that counts as one test
    local result=0
    "$@" || result=$?
    count $result
}

echo "== lint"
step bash tools/lint.sh

if ! setarch "$(uname -m)" -R true 2>/dev/null; then
    echo "note: setarch -R is refused here, so Wine's loaders run with address randomisation;"
    echo "      a start that fails for it is tried again"
fi
for preset in native sanitize memcheck "${cross[@]}"; do
    echo "== test: $preset"
    log=build/$preset/ctest.log
    ctest --preset "$preset" -j "$jobs" | tee "$log" || status=1
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" || true)
    total=$(sed -n 's/.* out of \([0-9]*\).*/\1/p' <<<"$summary")
    bad=$(sed -n 's/.*passed, \([0-9]*\) tests\{0,1\} failed.*/\1/p' <<<"$summary")
    [ -n "$total" ] || { echo "$preset: no tests ran"; count 1; continue; }
    skip=$(grep -c '(Skipped)$' "$log" || true)
    # Why each was skipped: the line after googletest's "Skipped".
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } skipped { print "  skipped " name ": " $0 }
         { skipped = /: Skipped$/ }' "build/$preset/Testing/Temporary/LastTest.log"
    echo "$preset: $((total - bad - skip)) passed, $bad failed, $skip skipped"
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
done

echo "== fuzz: fuzz_image_probe, ${FUZZ_SECONDS:-30} s"
rm -rf build/fuzz/corpus && mkdir -p build/fuzz/corpus
# -max_len reaches e_lfanew values with each of their four bytes set.
if build/fuzz/fuzz_image_probe -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 \
    -max_len=$((0x01000046)) \
    build/fuzz/corpus fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
    grep -E '^stat::number_of_executed_units' build/fuzz/fuzz.log
    count 0
else
    tail -30 build/fuzz/fuzz.log
    count 1
fi
echo "== packages"
step bash tools/package.sh
step bash tools/check_packages.sh
echo "== reproducible"
step bash tools/reproduce.sh

echo "all suites: $passed passed, $failed failed, $skipped skipped"
exit $status
