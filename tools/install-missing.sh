# Sourced by the project's scripts. `needs PACKAGE CHECK...` notes PACKAGE
# unless the command CHECK succeeds, `needs_wine32` notes what makes and runs
# Wine's 32-bit half; `install_needed` then installs all that was noted with
# apt-get (as root), or lists it all in one go and stops, as `stop_if_missing`
# does for anyone. Only packages of the machine's own architecture are ever
# installed.
needed=()
backports=() # from CODENAME-backports
unmet=()     # what no package gives, with how to give it
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
needs() {
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || [[ " ${needed[*]} " = *" $package "* ]] || needed+=("$package")
}
has() { command -v "$1"; }
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

# The Linux architectures the project builds for, a line each: the Debian
# architecture, its GNU type (its cross compiler is g++-TYPE, an amd64
# package, and cmake/toolchains/TYPE.cmake names the qemu-user that runs
# it), and the machine readelf names. The first is the machine built on.
linux_architectures() {
    cat <<'END'
amd64 x86_64-linux-gnu Advanced Micro Devices X86-64
arm64 aarch64-linux-gnu AArch64
armhf arm-linux-gnueabihf ARM
i386 i686-linux-gnu Intel 80386
ppc64el powerpc64le-linux-gnu PowerPC64
s390x s390x-linux-gnu IBM S/390
riscv64 riscv64-linux-gnu RISC-V
END
}

# Notes the cross compiler for the Debian architecture ARCH, unless it is
# this machine's own; fails for one the project does not build for.
needs_compiler_for() { # ARCH
    local type
    type=$(linux_architectures | awk -v arch="$1" '$1 == arch { print $2 }')
    [ -n "$type" ] || return 1
    [ "$1" = "$(dpkg --print-architecture)" ] || needs "g++-$type" has "$type-g++"
}

# The cross compilers for every other architecture, and the qemu-user that
# runs what they make.
needs_cross() {
    local arch
    for arch in $(linux_architectures | cut -d' ' -f1); do
        needs_compiler_for "$arch"
    done
    needs_qemu
}

# qemu-user 9 or later, from the backports suite: the release's own 7.2 is
# far too slow for Wine.
needs_qemu() {
    qemu-i386 --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]|9)\.' ||
        [[ " ${backports[*]} " = *" qemu-user "* ]] || backports+=(qemu-user)
}

# Wine's 32-bit half comes from an i386 root of the project's own
# (tools/wine32-root.sh): mmdebstrap makes it (as a normal user in a user
# namespace, with uidmap), patchelf points its loader at the root's dynamic
# linker. Where this kernel cannot run 32-bit code, that loader runs under
# qemu-i386 from the backports suite (the release's own qemu is far too slow
# for it).
needs_wine32() {
    needs wine64 test -x /usr/lib/wine/wine64
    needs mmdebstrap has mmdebstrap
    needs patchelf has patchelf
    if [ "$(id -u)" -ne 0 ]; then
        needs uidmap has newuidmap
        # Owners in the root map to subordinate ids of the caller's.
        local user
        user=$(id -un)
        grep -qE "^($user|$(id -u)):" /etc/subuid 2>/dev/null &&
            grep -qE "^($user|$(id -g)):" /etc/subgid 2>/dev/null ||
            unmet+=("subordinate ids for $user in /etc/subuid and /etc/subgid (as root: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 $user)")
    fi
    runs_32bit_code || needs_qemu
}

# Whether this kernel runs an i386 program: one made here, of 93 bytes (an
# ELF header, one program header, and exit(0)), so that it is known before
# anything 32-bit is there.
runs_32bit_code() {
    local program
    program=$(mktemp) || return 1
    printf '%b' '\x7fELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\x54\x80\4\x08\x34\0\0\0\0\0\0\0' \
        '\0\0\0\0\x34\0\x20\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\x80\4\x08\0\x80\4\x08\x5d\0\0\0' \
        '\x5d\0\0\0\5\0\0\0\0\x10\0\0\x31\xdb\xb8\1\0\0\0\xcd\x80' >"$program"
    chmod +x "$program"
    local status=0
    "$program" 2>/dev/null || status=1
    rm -f "$program"
    return $status
}

install_needed() {
    # Only root installs, and only packages.
    if [ "$(id -u)" -ne 0 ] || [ ${#unmet[@]} -gt 0 ]; then
        stop_if_missing
    fi
    [ $((${#needed[@]} + ${#backports[@]})) -gt 0 ] || return 0
    local what=("${needed[@]}")
    [ ${#backports[@]} -eq 0 ] || what+=("${backports[@]} (from $codename-backports)")
    echo "installing: ${what[*]}"
    [ ${#backports[@]} -eq 0 ] || add_backports
    apt_update
    [ ${#needed[@]} -eq 0 ] || apt_install "${needed[@]}"
    [ ${#backports[@]} -eq 0 ] || apt_install -t "$codename-backports" "${backports[@]}"
    needed=() backports=()
}

# Lists all that is missing, and how to install it, and stops.
stop_if_missing() {
    [ $((${#needed[@]} + ${#backports[@]} + ${#unmet[@]})) -gt 0 ] || return 0
    if [ $((${#needed[@]} + ${#backports[@]})) -gt 0 ]; then
        local steps=("apt-get update")
        [ ${#needed[@]} -eq 0 ] || steps+=("apt-get install ${needed[*]}")
        [ ${#backports[@]} -eq 0 ] ||
            steps+=("apt-get install -t $codename-backports ${backports[*]} (with a $codename-backports source)")
        local what=("${needed[@]}")
        [ ${#backports[@]} -eq 0 ] || what+=("${backports[@]} (from $codename-backports)")
        echo "missing: ${what[*]}" >&2
        echo "as root, the project's scripts install them all (bash tools/test.sh); by hand: $(printf '%s && ' "${steps[@]}" | sed 's/ && $//')" >&2
    fi
    local item
    for item in "${unmet[@]}"; do echo "missing: $item" >&2; done
    exit 1
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

apt_install() { # [apt-get install options...] packages...
    local log
    log=$(mktemp)
    if DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends --no-remove "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    # apt's own reason: what it could not resolve, and its errors.
    echo "apt-get install $* failed:" >&2
    sed -n '/^The following packages have unmet dependencies:/,/^E: /p; /^E: /p' "$log" | uniq >&2
    rm -f "$log"
    exit 1
}

# The machine's own sources for this release's suites (CODENAME and
# CODENAME-*), from the deb822 files in sources.list.d and the one-line
# lists, one suite a line: "deb [signed-by=KEYRING] URI SUITE COMPONENT...".
# So no mirror is ever named here.
debian_sources() {
    local lists=() deb822=()
    [ -f /etc/apt/sources.list ] && lists+=(/etc/apt/sources.list)
    for file in /etc/apt/sources.list.d/*.list; do [ -f "$file" ] && lists+=("$file"); done
    for file in /etc/apt/sources.list.d/*.sources; do [ -f "$file" ] && deb822+=("$file"); done
    local emit='function emit(uri, suite, components, key) {
        if (suite == codename || index(suite, codename "-") == 1)
            print "deb " (key == "" ? "" : "[signed-by=" key "] ") uri " " suite " " components
    }'
    [ ${#lists[@]} -eq 0 ] || awk -v codename="$codename" "$emit"'
        $1 == "deb" {
            key = ""; i = 2
            if ($2 ~ /^\[/) {
                for (; i <= NF; i++) {
                    option = $i; gsub(/[][]/, "", option)
                    if (option ~ /^signed-by=/) key = substr(option, 11)
                    if ($i ~ /\]$/) break
                }
                i++
            }
            components = $(i + 2)
            for (j = i + 3; j <= NF; j++) components = components " " $j
            emit($i, $(i + 1), components, key)
        }' "${lists[@]}"
    # A stanza: "Field: value" lines; an inline key (continued lines) is
    # left to apt's own keyrings.
    [ ${#deb822[@]} -eq 0 ] || awk -v codename="$codename" "$emit"'
        BEGIN { RS = ""; FS = "\n" }
        {
            delete field
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^[#[:space:]]/ || index($i, ":") == 0) continue
                name = tolower(substr($i, 1, index($i, ":") - 1))
                value = substr($i, index($i, ":") + 1)
                gsub(/^[ \t]+|[ \t]+$/, "", value)
                field[name] = value
            }
            if ((" " field["types"] " ") !~ / deb / || tolower(field["enabled"]) == "no") next
            n = split(field["uris"], uris, " ")
            m = split(field["suites"], suites, " ")
            for (a = 1; a <= n; a++)
                for (b = 1; b <= m; b++)
                    emit(uris[a], suites[b], field["components"], field["signed-by"])
        }' "${deb822[@]}"
}

# Adds CODENAME-backports beside the machine's own source for CODENAME.
add_backports() {
    local list=/etc/apt/sources.list.d/isi386-backports
    [ -s "$list.sources" ] || [ -s "$list.list" ] && return 0
    debian_sources | awk -v suite="$codename" '{ at = $2 ~ /^\[/ ? 4 : 3 }
        $at == suite { $at = suite "-backports"; print; exit }' >"$list.list"
    [ -s "$list.list" ] && return 0
    rm -f "$list.list"
    echo "no Debian source for $codename in /etc/apt/sources.list or sources.list.d" >&2
    exit 1
}
