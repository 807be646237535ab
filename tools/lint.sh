#!/usr/bin/env bash
# Runs shellcheck over every script, checks formatting (clang-format 14) of
# every C++ file and runs clang-tidy
# 14 on the sources this machine can compile: pinned, as newer versions
# format and warn differently. Needs a configured native build
# with compile_commands.json (tools/test.sh makes one).
set -euo pipefail
cd "$(dirname "$0")/.."

# Every script, to warnings.
mapfile -t scripts < <(git ls-files '*.sh' .ci/run debian/tests/end-to-end)
shellcheck -x -S warning "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} scripts clean"

mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
clang-format-14 --dry-run --Werror "${files[@]}"
echo "clang-format: ${#files[@]} files clean"

# The Win32 layer needs <windows.h>; the cross builds compile it with the
# same warnings instead.
tidy=(src/image_probe.cpp src/driver.cpp src/file_view_posix.cpp src/main.cpp tools/make_samples.cpp)
clang-tidy-14 --quiet -p build/native "${tidy[@]}" 2>/dev/null
echo "clang-tidy: ${#tidy[@]} files clean"
