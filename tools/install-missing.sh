# shellcheck shell=bash
# Sourced by the project's scripts, in the project's root. Each `needs*`
# notes what a job needs; `install_needed` then has apt install all that is
# missing (as root), or lists it all in one round and stops, as
# `stop_if_missing` does for anyone. apt says what is missing, by a
# simulation. Only packages of this machine's architecture are installed.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
build_deps=0 # debian/control's Build-Depends
packages=()
cross=()     # architectures whose cross compiler is needed
backports=() # from CODENAME-backports
unmet=()     # what no package gives, with how to give it

# What building the program and running its tests needs.
needs_build_deps() { build_deps=1; }

# What tools/needs lists for WHO.
needs() { # WHO
    mapfile -t -O ${#packages[@]} packages < <(awk -v who="$1" '!/^#/ && NF > 1 {
        n = split($2, whom, ","); for (i = 1; i <= n; i++) if (whom[i] == who) print $1 }' tools/needs)
}

# The Debian architectures the project builds for.
architectures() { sed -n 's/^\([a-z0-9]*\) .*/\1/p' tools/architectures; }

# The cross compilers for ARCH... (none named: every architecture), but for
# this machine's architecture.
needs_cross() { # [ARCH...]
    local arch
    # shellcheck disable=SC2046 # a word a line
    [ $# -gt 0 ] || set -- $(architectures)
    for arch in "$@"; do
        architectures | grep -qx "$arch" || { echo "unknown architecture: $arch" >&2; exit 2; }
        [ "$arch" = "$(dpkg --print-architecture)" ] || cross+=("$arch")
    done
}

# Their packages, g++-TYPE, as dpkg-architecture names the GNU type (it
# comes with dpkg-dev, a build dependency: until then, only their
# architectures can be said).
cross_compilers() {
    local arch
    for arch in "${cross[@]}"; do
        echo "g++-$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null || echo "TYPE(for $arch)")"
    done
}

# qemu-user 9 or later, from the backports suite: the release's own 7.2 is
# far too slow for Wine.
needs_qemu() {
    qemu-i386 --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]|9)\.' || backports=(qemu-user)
}

# A root of the project's own made by a normal user (mmdebstrap in a user
# namespace): uidmap, and subordinate ids of the caller's.
needs_user_namespace() {
    [ "$(id -u)" -ne 0 ] || return 0
    packages+=(uidmap)
    local user
    user=$(id -un)
    grep -qE "^($user|$(id -u)):" /etc/subuid 2>/dev/null && grep -qE "^($user|$(id -g)):" /etc/subgid 2>/dev/null ||
        unmet+=("subordinate ids for $user in /etc/subuid and /etc/subgid (as root: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 $user)")
}

has_backports() { apt-get indextargets --no-release-info --format '$(RELEASE)' | grep -qx "$codename-backports"; }

# What is missing, a package a line: what apt would install for the build
# dependencies (which name versions), or all of them where it cannot say
# (no package lists yet); and the rest that is not installed.
missing() {
    local simulated all
    if [ $build_deps -ne 0 ]; then
        if simulated=$(apt-get -s build-dep ./ 2>&1); then
            sed -nE 's/^Inst ([^ ]+).*/\1/p' <<<"$simulated"
        else
            echo "debian/control's Build-Depends (apt cannot resolve them yet: apt-get update first)"
        fi
    fi
    mapfile -t all < <(printf '%s\n' "${packages[@]}"; cross_compilers)
    [ ${#all[@]} -eq 0 ] || printf '%s\n' "${all[@]}" | grep -vxF -f <(dpkg-query -W -f='${db:Status-Status} ${Package}\n' \
        "${all[@]}" 2>/dev/null | sed -n 's/^installed //p') || true
    [ ${#backports[@]} -eq 0 ] || printf '%s\n' "${backports[@]}"
}

install_needed() {
    local what
    mapfile -t what < <(missing | sort -u)
    [ $((${#what[@]} + ${#unmet[@]})) -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] && [ ${#unmet[@]} -eq 0 ] || stop_if_missing
    echo "installing: ${what[*]}"
    [ ${#backports[@]} -eq 0 ] || has_backports || add_backports
    apt_update
    [ $build_deps -eq 0 ] || apt_get build-dep ./
    # Now that dpkg-dev is there, the cross compilers have their names.
    mapfile -t -O ${#packages[@]} packages < <(cross_compilers)
    [ ${#packages[@]} -eq 0 ] || apt_get install "${packages[@]}"
    [ ${#backports[@]} -eq 0 ] || apt_get install -t "$codename-backports" "${backports[@]}"
    build_deps=0 packages=() cross=() backports=()
}

# Lists all that is missing, and how to install it, and stops.
stop_if_missing() {
    local what item
    mapfile -t what < <(missing | sort -u)
    [ ${#what[@]} -eq 0 ] || echo "missing: ${what[*]}; as root, bash tools/test.sh installs them all:" \
        "debian/control's Build-Depends with apt-get build-dep ./, the rest with apt-get install" \
        "(qemu-user from $codename-backports)" >&2
    for item in "${unmet[@]}"; do echo "missing: $item" >&2; done
    [ $((${#what[@]} + ${#unmet[@]})) -eq 0 ] || exit 1
}

# A mirror caught mid-sync fails one index while the others arrive. That is
# said in one line; the install then finds whether what is needed can still
# be had from the lists there are.
apt_update() {
    local log
    log=$(mktemp)
    if ! apt-get update >"$log" 2>&1; then
        echo "apt-get update failed, going on with the lists it has: $(grep -E '^(E|W): ' "$log" |
            grep -v 'Some index files failed' | sed -E 's/ +\[IP: [^]]*\]//' | paste -sd ';' -)"
    fi
    rm -f "$log"
}

apt_get() { # apt-get command and its arguments
    local log
    log=$(mktemp)
    if DEBIAN_FRONTEND=noninteractive apt-get -y --no-install-recommends --no-remove "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    # apt's own reason: what it could not resolve, and its errors.
    echo "apt-get $* failed:" >&2
    sed -n '/^The following packages have unmet dependencies:/,/^E: /p; /^E: /p' "$log" | uniq >&2
    rm -f "$log"
    exit 1
}

# This release's suites (CODENAME and CODENAME-*) as apt has them from the
# machine's own sources, whatever their format: "deb URI SUITE COMPONENT...".
apt_sources() {
    apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
        awk -v c="$codename" '($2 == c || index($2, c "-") == 1) && !seen[$0]++ {
            suite = $1 " " $2; if (!(suite in parts)) order[++n] = suite; parts[suite] = parts[suite] " " $3 }
            END { for (i = 1; i <= n; i++) print "deb " order[i] parts[order[i]] }'
}

# CODENAME-backports beside the machine's own source for CODENAME.
add_backports() {
    apt_sources | awk -v c="$codename" '$3 == c { $3 = c "-backports"; print; exit }' \
        >/etc/apt/sources.list.d/isi386-backports.list
    [ -s /etc/apt/sources.list.d/isi386-backports.list ] && return 0
    rm -f /etc/apt/sources.list.d/isi386-backports.list
    echo "no Debian source for $codename in the machine's apt sources" >&2
    exit 1
}
