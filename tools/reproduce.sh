#!/usr/bin/env bash
# Builds the downloads from HEAD again and again, and shows that they and the
# programs they hold are the same to the byte:
#   1. reprotest (reproducible-builds.org) builds a fresh clone twice, the
#      second time varying the environment, the build path, the kernel
#      personality, address randomisation, the number of CPUs, the time
#      (faketime), the file order (disorderfs), the host and domain names,
#      the home folder, the locale, PATH, the time zone and the umask;
#   2. a `git archive` export, as a release tarball holds it (no .git), with
#      SOURCE_DATE_EPOCH unset, is built and compared with reprotest's first
#      build;
#   3. dpkg-buildpackage -b in the clone, with SOURCE_DATE_EPOCH at the
#      commit's time, gives this machine's .deb to the byte.
# What cannot be varied here:
#   user_group  reprotest builds as another user through sudo(1), and needs
#               that user to exist; this script adds no account to the machine.
#   locales     only C, C.UTF-8 and POSIX are generated here: the build runs
#               with LANG and LC_ALL naming et_EE.UTF-8, and every program
#               falls back to C.
# and, where the machine refuses what they need, domain_host (a user
# namespace) and kernel and aslr (personality()): the script says so.
# diffoscope shows what differs in each file that does.
#   bash tools/reproduce.sh
# Uncommitted changes are not in the builds.
set -uo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=('build/packages/*.deb' 'build/packages/*.zip' build/packages/SHA256SUMS
    build/package/windows-x86/isi386.exe build/package/windows-x64/isi386.exe)

# What some machines refuse a variation needs; each is left out with a line
# that says so, and the rest still vary.
vary=+all,-user_group
if ! unshare -r --uts true 2>/dev/null; then
    # In a chroot, and in many containers, no user namespace can be made.
    vary+=,-domain_host
    echo "reprotest: unshare -r is refused here: the host and domain names are not varied"
fi
if ! setarch "$(uname -m)" -R true 2>/dev/null; then
    # personality() is refused (Docker's default seccomp profile), yet
    # reprotest runs every build under setarch ARCH [-R]: here a setarch
    # that runs the build as it is.
    mkdir "$work/bin"
    printf '#!/bin/sh\nshift\nwhile [ "${1#-}" != "$1" ]; do shift; done\nexec "$@"\n' >"$work/bin/setarch"
    chmod +x "$work/bin/setarch"
    PATH=$work/bin:$PATH
    vary+=,-kernel,-aslr
    echo "reprotest: setarch -R is refused here: the kernel personality and address randomisation are not varied"
fi

# One commit for all three builds, whatever is committed meanwhile.
head=$(git rev-parse HEAD)
git clone -q "$PWD" "$work/clone" && git -C "$work/clone" checkout -q "$head"
echo "reprotest: two builds of a clone"
if ! (cd "$work/clone" && reprotest --vary="$vary" \
    --store-dir="$work/reprotest" -c 'bash tools/package.sh' . "${artifacts[*]}") >"$work/reprotest.log" 2>&1; then
    echo "FAILED: reprotest"
    # Its report, with diffoscope's account of each difference, is at the end.
    tail -80 "$work/reprotest.log"
    exit 1
fi
grep -A1 -E '^=+$' "$work/reprotest.log" | grep -vE '^(=+|--)$' | head -2

mkdir "$work/export" && git archive "$head" | tar -x -C "$work/export"
echo "the git archive export, without SOURCE_DATE_EPOCH"
if ! (cd "$work/export" && env -u SOURCE_DATE_EPOCH bash tools/package.sh) >"$work/export.log" 2>&1; then
    echo "FAILED: the build of the export"
    tail -20 "$work/export.log"
    exit 1
fi
control=$work/reprotest/control/source-root
status=0
count=0
for file in $(cd "$control" && ls -d ${artifacts[@]}); do
    count=$((count + 1))
    if cmp -s "$control/$file" "$work/export/$file"; then
        echo "same: $file"
    else
        echo "FAILED: $file differs between the clone and the export"
        diffoscope "$control/$file" "$work/export/$file" | head -60
        status=1
    fi
done
[ $status -eq 0 ] && echo "reproducible: $count files identical in all 3 builds"

# dpkg-buildpackage in the clone, as a Debian maintainer would run it, gives
# the .deb that tools/package.sh ships.
echo "dpkg-buildpackage -b in the clone"
deb=isi386_$(dpkg-parsechangelog -SVersion)_$(dpkg --print-architecture).deb
rm -rf "$work/clone/build"
if ! (cd "$work/clone" && SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) DEB_BUILD_OPTIONS=nocheck \
    dpkg-buildpackage -b -us -uc) >"$work/dpkg-buildpackage.log" 2>&1; then
    echo "FAILED: dpkg-buildpackage -b"
    tail -20 "$work/dpkg-buildpackage.log"
    status=1
elif cmp -s "$work/$deb" "$control/build/packages/$deb"; then
    echo "same: $deb"
else
    echo "FAILED: $deb from dpkg-buildpackage differs from tools/package.sh's"
    diffoscope "$work/$deb" "$control/build/packages/$deb" | head -60
    status=1
fi
exit $status
