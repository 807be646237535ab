#!/usr/bin/env bash
# Runs the as-installed tests (debian/tests) of a source tree against .debs
# built from it, in a root of their own, so that the system is left as it is:
#   bash tools/autopkgtest.sh SOURCE_TREE DEB...
# mmdebstrap makes the root once, build/autopkgtest-CODENAME.tar, from the
# machine's release and apt sources; every run starts from it afresh. A
# normal user's runs go to autopkgtest-virt-unshare (no user namespace, as
# in a chroot: not run, and said so); root's to autopkgtest-virt-chroot, in
# a copy with a procfs and the system's /dev (the unshare runner would need
# subordinate ids added for root).
set -euo pipefail
tree=$1
shift
cd "$(dirname "$0")/.."
source tools/install-missing.sh
needs autopkgtest
needs_user_namespace
install_needed

if [ "$(id -u)" -ne 0 ] && ! unshare -r true 2>/dev/null; then
    echo "autopkgtest.sh: unshare -r is refused here, so the tests have no root to run in: not run"
    exit 0
fi
root=$PWD/build/autopkgtest-$codename.tar
if [ ! -s "$root" ]; then
    mkdir -p build
    apt_sources >"$root.list"
    mode=unshare
    [ "$(id -u)" -ne 0 ] || mode=root
    # Renamed once whole: a make cut short leaves no root to reuse.
    mmdebstrap --mode=$mode --variant=apt "$codename" "$root.partial.tar" "$root.list" 2>"$root.log" ||
        { tail -20 "$root.log" >&2; exit 1; }
    mv "$root.partial.tar" "$root"
fi
# A mirror caught mid-sync fails one index while the others arrive.
run=(autopkgtest --setup-commands='apt-get update || true' "$tree" "$@" --)
# The runners split their root's path at spaces: it is a temporary one.
bed=$(mktemp -d)
# --one-file-system: whatever is still mounted there is never removed.
trap 'umount "$bed/proc" "$bed/dev" 2>/dev/null; rm -rf --one-file-system "$bed"' EXIT
if [ "$(id -u)" -ne 0 ]; then
    ln -s "$root" "$bed/root.tar"
    "${run[@]}" unshare --tarball "$bed/root.tar"
    exit
fi
tar -xf "$root" -C "$bed" --exclude=./dev/*
mount -t proc proc "$bed/proc"
mount --bind /dev "$bed/dev"
"${run[@]}" chroot "$bed"
