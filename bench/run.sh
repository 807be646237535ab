#!/usr/bin/env bash
# Measures what a run of isi386 costs against the cost of starting a
# process at all, and against other tools that can tell an image's machine:
#
#   bash bench/run.sh            writes bench/results.md and bench/cost.png
#
# Instructions are counted by callgrind (repeatable on a busy machine); wall
# time is hyperfine's minimum of 100 runs (the least disturbed one).
# Files: 4 KiB, 1 MiB, 1 GiB and 8 GiB (sparse),
# each a 32-bit x86 image padded with zeros. Needs what tools/needs lists
# for the bench (apt-get installs it as root).
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/install-missing.sh
needs_build_deps
needs bench
install_needed

cmake --preset native >/dev/null
cmake --build --preset native --target isi386 isi386_floor make_samples >/dev/null
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/native/CMakeCache.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The floor, isi386_floor, is built and linked as isi386 is (static-pie,
# hardened). Beside it, a plain static no-op, as isi386 was linked before.
"$compiler" -O3 -DNDEBUG -std=c++20 -static bench/noop.cpp -o "$work/noop-static"

build/native/make_samples "$work"
sizes=(4096 1048576 1073741824 8589934592)
labels=("4 KiB" "1 MiB" "1 GiB" "8 GiB")
for size in "${sizes[@]}"; do
    cp "$work/x86.exe" "$work/$size.exe"
    truncate -s "$size" "$work/$size.exe" # sparse past the image's 1 KiB
done

names=("no-op (floor)" "no-op, plain static" "isi386" "file -b" "objdump -f"
    "llvm-readobj --file-headers")
commands=("$PWD/build/native/isi386_floor" "$work/noop-static" "$PWD/build/native/isi386"
    "file -b" "objdump -f" "llvm-readobj --file-headers")

# Start-up code reads the environment (glibc's tunables scan every
# variable), so its size shows in every count. The table uses this shell's
# environment, as a user's run would; one line repeats the floor and isi386
# in an empty one (`env -i`), where start-up is cheapest and the ratio
# strictest.
instructions() { # command words..., then the file; env_prefix=(env -i) empties the environment
    "${env_prefix[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
min_us() { # command line
    hyperfine -N --warmup 5 --runs 100 --export-csv "$work/h.csv" "$1" >/dev/null 2>&1
    # Columns: command, mean, stddev, median, user, system, min, max.
    awk -F, 'NR == 2 { printf "%.0f", $7 * 1e6 }' "$work/h.csv"
}

env_prefix=()
declare -A count wall
for i in "${!names[@]}"; do
    for size in "${sizes[@]}"; do
        # shellcheck disable=SC2086 # the command is several words
        count[$i,$size]=$(instructions ${commands[$i]} "$work/$size.exe")
        # shellcheck disable=SC2034 # read through the name table() is given
        wall[$i,$size]=$(min_us "${commands[$i]} $work/$size.exe")
    done
done
env_prefix=(env -i)
empty_floor=$(instructions "${commands[0]}" "$work/4096.exe")
empty_isi386=$(instructions "${commands[2]}" "$work/4096.exe")
env_prefix=()

floor=${count[0,4096]}
machine="$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(uname -sr)"
table() { # title, array name, format
    local -n values=$2
    printf '| %s |' "$1"
    for label in "${labels[@]}"; do printf ' %s |' "$label"; done
    [ "$2" = count ] && printf ' ratio to floor |'
    echo
    printf '|---|'
    for _ in "${labels[@]}"; do printf -- '--:|'; done
    [ "$2" = count ] && printf -- '--:|'
    echo
    for i in "${!names[@]}"; do
        printf '| %s |' "${names[$i]}"
        for size in "${sizes[@]}"; do printf " $3 |" "${values[$i,$size]}"; done
        [ "$2" = count ] && awk -v n="${values[$i,4096]}" -v f="$floor" \
            'BEGIN { printf " %.3f |", n / f }'
        echo
    done
}
{
    echo "Measured $(date -u +%Y-%m-%d) on $machine, with \`bash bench/run.sh\`."
    echo "Each file is a 1 KiB x86 image padded with zeros (sparse) to its size."
    echo
    table "Instructions (callgrind)" count "%'d"
    echo
    echo "In an empty environment (\`env -i\`) the floor is $empty_floor instructions and"
    awk -v n="$empty_isi386" -v f="$empty_floor" \
        'BEGIN { printf "isi386 %d: a ratio of %.3f.\n", n, n / f }'
    echo
    table "Wall time, fastest of 100 runs (µs)" wall "%d"
    echo
    echo "Wall times move with the machine's load; the fastest run is the least disturbed."
} > bench/results.md

{
    for i in "${!names[@]}"; do
        echo "\"${names[$i]}\""
        for size in "${sizes[@]}"; do echo "$size ${count[$i,$size]}"; done
        echo
        echo
    done
} > "$work/cost.dat"
gnuplot <<PLOT
set terminal pngcairo size 800,560 font "sans,11"
set output "bench/cost.png"
set title "Cost of one run against file size ($(date -u +%Y-%m-%d))"
set logscale xy
set xlabel "file size"
set ylabel "instructions (callgrind)"
set mxtics 1
set xtics ("4 KiB" 4096, "1 MiB" 1048576, "1 GiB" 1073741824, "8 GiB" 8589934592)
set key outside below horizontal
set grid
plot for [i=0:$((${#names[@]} - 1))] "$work/cost.dat" index i using 1:2 with linespoints title columnheader(1)
PLOT
cat bench/results.md
echo "plot: bench/cost.png"
