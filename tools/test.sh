#!/usr/bin/env bash
# Builds isi386 and runs its whole test suite: every preset of
# CMakePresets.json (native, sanitize, memcheck, the fuzzer for FUZZ_SECONDS,
# default 30; the Windows programs under Wine, the other Linux
# architectures' under qemu-user, their end-to-end cases driven from the
# native test program), tools/lint.sh, and the downloads: built
# (tools/package.sh), checked (tools/check_packages.sh, the as-installed
# tests among them) and built again to show they are reproducible
# (tools/reproduce.sh). Installs what it needs with apt-get when missing
# (as root): debian/control's Build-Depends and what tools/needs lists,
# packages of this machine's architecture only.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/install-missing.sh
# debian/control's Build-Depends, what tools/needs lists, the other
# architectures' cross compilers and the qemu-user that runs their programs.
needs_build_deps
needs test
needs_cross
needs_qemu
needs_user_namespace
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
mapfile -t -O ${#cross[@]} cross < <(architectures | grep -vx "$(dpkg --print-architecture)" | sed 's/^/linux-/')
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
