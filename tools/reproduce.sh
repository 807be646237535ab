#!/usr/bin/env bash
# Builds the downloads three times from HEAD and compares every byte of them
# and of the programs they hold:
#   1. a fresh clone;
#   2. a fresh clone 2 s later, on tmpfs (/dev/shm), under umask 077;
#   3. a `git archive` export, as a release tarball holds it (no .git), with
#      SOURCE_DATE_EPOCH unset.
#   bash tools/reproduce.sh
# Names each file that differs, with diffoscope's report when diffoscope is
# installed. Uncommitted changes are not in the builds.
set -uo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
shm=$(mktemp -d -p /dev/shm 2>/dev/null) || { echo "FAILED: no tmpfs at /dev/shm"; exit 1; }
trap 'rm -rf "$work" "$shm"' EXIT

git clone -q "$PWD" "$work/clone"
sleep 2 # a build time or file time would show
git clone -q "$PWD" "$shm/tmpfs"
mkdir "$work/export" && git archive HEAD | tar -x -C "$work/export"
trees=("$work/clone" "$shm/tmpfs" "$work/export")
build() { # tree
    case $1 in
    "$shm"/*) (umask 077 && cd "$1" && TMPDIR=$shm bash tools/package.sh) ;;
    */export) (cd "$1" && env -u SOURCE_DATE_EPOCH bash tools/package.sh) ;;
    *) (cd "$1" && bash tools/package.sh) ;;
    esac
}
for tree in "${trees[@]}"; do
    if ! build "$tree" >"$tree.log" 2>&1; then
        echo "FAILED: the build in $tree"
        tail -20 "$tree.log"
        exit 1
    fi
done

files=(build/package/native/isi386 build/package/windows-x86/isi386.exe
       build/package/windows-x64/isi386.exe)
while IFS= read -r name; do files+=("build/packages/$name"); done < <(ls "${trees[0]}/build/packages")
status=0
for file in "${files[@]}"; do
    same=1
    for tree in "${trees[@]:1}"; do
        if ! cmp -s "${trees[0]}/$file" "$tree/$file"; then
            same=0
            echo "FAILED: $file differs between $(basename "${trees[0]}") and $(basename "$tree")"
            status=1
            if command -v diffoscope >/dev/null; then
                diffoscope "${trees[0]}/$file" "$tree/$file" | head -60
            fi
        fi
    done
    [ $same = 0 ] || echo "same: $file"
done
[ $status -eq 0 ] && echo "reproducible: ${#files[@]} files identical in all ${#trees[@]} builds"
exit $status
