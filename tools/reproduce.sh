#!/usr/bin/env bash
# Builds the downloads twice, in two fresh clones of HEAD in two folders at
# two times, and compares every byte of them and of the programs they hold:
#   bash tools/reproduce.sh
# Names each file that differs, with diffoscope's report when diffoscope is
# installed. Uncommitted changes are not in the clones.
set -uo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for n in 1 2; do
    # Apart in time, so that a build time or file time would show.
    [ "$n" = 2 ] && sleep 2
    git clone -q "$PWD" "$work/build-$n"
    if ! (cd "$work/build-$n" && bash tools/package.sh >"$work/log-$n" 2>&1); then
        echo "FAILED: the build in clone $n"
        tail -20 "$work/log-$n"
        exit 1
    fi
done

files=(build/native/isi386 build/windows-x86/isi386.exe build/windows-x64/isi386.exe)
while IFS= read -r name; do files+=("build/packages/$name"); done < <(ls "$work/build-1/build/packages")
status=0
for file in "${files[@]}"; do
    if cmp -s "$work/build-1/$file" "$work/build-2/$file"; then
        echo "same: $file"
    else
        echo "FAILED: $file differs between two builds of the same commit"
        status=1
        if command -v diffoscope >/dev/null; then
            diffoscope "$work/build-1/$file" "$work/build-2/$file" | head -60
        fi
    fi
done
[ $status -eq 0 ] && echo "reproducible: ${#files[@]} files identical in both builds"
exit $status
