#!/usr/bin/env bash
# Builds the downloads from HEAD again and again, and shows that they and the
# programs they hold are the same to the byte:
#   1. reprotest (reproducible-builds.org) builds a fresh clone twice, the
#      second time varying the environment, the build path, the kernel
#      personality, address randomisation, the number of CPUs, the time
#      (faketime), the file order (disorderfs), the host and domain names,
#      the home folder, the locale, PATH, the time zone and the umask; each
#      build makes the source package and builds all else from it;
#   2. a plain `dpkg-buildpackage -b` in the clone (nocheck), as a Debian
#      maintainer would run it, gives this machine's .debs to the byte.
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
cd "$(dirname "$0")/.." || exit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=('build/packages/*.deb' 'build/packages/*.zip' 'build/packages/*.dsc'
    'build/packages/*.tar.xz' build/packages/SHA256SUMS
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

# One commit for all the builds, whatever is committed meanwhile.
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

control=$work/reprotest/control/source-root
# shellcheck disable=SC2068 # the patterns are to be expanded
count=$(cd "$control" && ls -d ${artifacts[@]} | wc -l)
echo "reproducible: $count files identical in both builds"

# dpkg-buildpackage in the clone, as a Debian maintainer would run it, gives
# the .debs that tools/package.sh ships.
echo "dpkg-buildpackage -b in the clone"
version=$(dpkg-parsechangelog -l "$work/clone/debian/changelog" -SVersion)
rm -rf "$work/clone/build"
status=0
if ! (cd "$work/clone" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc) >"$work/dpkg-buildpackage.log" 2>&1; then
    echo "FAILED: dpkg-buildpackage -b"
    tail -20 "$work/dpkg-buildpackage.log"
    exit 1
fi
for package in isi386 isi386-static; do
    deb=${package}_${version#*:}_$(dpkg --print-architecture).deb
    if cmp -s "$work/$deb" "$control/build/packages/$deb"; then
        echo "same: $deb"
    else
        echo "FAILED: $deb from dpkg-buildpackage differs from tools/package.sh's"
        diffoscope "$work/$deb" "$control/build/packages/$deb" | head -60
        status=1
    fi
done
exit $status
