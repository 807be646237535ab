# Sourced by the project's scripts. `needs PACKAGE CHECK...` notes PACKAGE
# unless the command CHECK succeeds, `needs_wine32` notes Wine's 32-bit
# loader and what runs it; `install_needed` then installs all that was noted
# with apt-get (as root), or lists it all in one go and stops.
needed=()
backports=() # from CODENAME-backports
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
needs() {
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || needed+=("$package")
}
has() { command -v "$1"; }

# Wine's 32-bit loader (wine32:i386), and where this kernel cannot run
# 32-bit code, qemu-i386 from the backports suite to run it under (the
# release's own qemu is far too slow for it).
needs_wine32() {
    needs wine32:i386 test -x /usr/lib/wine/wine
    runs_32bit_code && return 0
    qemu-i386 --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]|9)\.' || backports+=(qemu-user)
}

# Whether this kernel runs an i386 program: one made here, of 93 bytes (an
# ELF header, one program header, and exit(0)), so that it is known before
# any 32-bit package is installed.
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
    [ $((${#needed[@]} + ${#backports[@]})) -gt 0 ] || return 0
    local add_i386=0
    if [[ " ${needed[*]}" = *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        add_i386=1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        local steps=()
        [ $add_i386 = 0 ] || steps+=("dpkg --add-architecture i386")
        steps+=("apt-get update")
        [ ${#needed[@]} -eq 0 ] || steps+=("apt-get install ${needed[*]}")
        [ ${#backports[@]} -eq 0 ] ||
            steps+=("apt-get install -t $codename-backports ${backports[*]} (with a $codename-backports source)")
        echo "missing: ${needed[*]}${backports[*]:+ ${backports[*]} (from $codename-backports)}" >&2
        echo "as root, this script installs them all; by hand: $(printf '%s && ' "${steps[@]}" | sed 's/ && $//')" >&2
        exit 1
    fi
    echo "installing: ${needed[*]}${backports[*]:+ ${backports[*]} (from $codename-backports)}"
    [ $add_i386 = 0 ] || dpkg --add-architecture i386
    [ ${#backports[@]} -eq 0 ] || add_backports
    apt_update
    [ ${#needed[@]} -eq 0 ] || apt_install "${needed[@]}"
    [ ${#backports[@]} -eq 0 ] || apt_install -t "$codename-backports" "${backports[@]}"
    needed=() backports=()
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
    local i386
    i386=$(printf '%s\n' "$@" | grep ':i386$')
    [ -z "$i386" ] || explain_architecture_skew $i386 >&2
    exit 1
}

# A package installed for both architectures (Multi-Arch: same) must have one
# version in both. When the i386 lists lag the amd64 ones, or the other way
# round, the i386 packages cannot match what is installed. Names each
# package, among those the i386 packages asked for depend on, whose versions
# differ.
explain_architecture_skew() { # i386 packages asked for
    local native
    native=$(dpkg --print-architecture)
    local names
    names=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[a-z0-9]' | sed 's/:i386$//' | sort -u)
    local shared
    shared=$(dpkg-query -W -f='${Package} ${Architecture} ${Multi-Arch}\n' |
        awk -v arch="$native" '$2 == arch && $3 == "same" { print $1 }' | sort -u | comm -12 - <(echo "$names"))
    [ -n "$shared" ] || return 0
    # Candidates of each for both architectures, from one apt-cache call;
    # apt names the native one without its architecture.
    local differ
    differ=$(apt-cache policy $(sed "s/\$/:$native/" <<<"$shared") $(sed 's/$/:i386/' <<<"$shared") 2>/dev/null |
        awk -v arch="$native" '/^[^ ]/ { name = $1; sub(/:$/, "", name); i386 = sub(/:i386$/, "", name) }
            /^  Candidate:/ { if (i386) other[name] = $2; else own[name] = $2 }
            END { for (p in own) if (other[p] != "" && other[p] != "(none)" && other[p] != own[p])
                      print "  " p ": " arch " " own[p] ", i386 " other[p] }' | sort)
    [ -n "$differ" ] || return 0
    echo "The i386 packages cannot match the $native ones installed: these versions differ."
    echo "$differ"
    echo "One architecture's package list is stale or missing, most often because the mirror"
    echo "was caught mid-sync: run apt-get update again later."
}

# Adds CODENAME-backports with the URIs and key of the machine's own Debian
# source, a deb822 file in sources.list.d or a line of sources.list, so no
# mirror is named here.
add_backports() {
    local list=/etc/apt/sources.list.d/isi386-backports
    [ -s "$list.sources" ] || [ -s "$list.list" ] && return 0
    local sources=(/etc/apt/sources.list.d/*.sources)
    [ -e "${sources[0]}" ] && awk -v suite="$codename" 'BEGIN { RS = ""; FS = "\n" } {
        found = 0
        for (i = 1; i <= NF; i++)
            if ($i ~ /^Suites:/ && (" " substr($i, 8) " ") ~ (" " suite " ")) found = 1
        if (!found) next
        for (i = 1; i <= NF; i++) {
            if ($i ~ /^Suites:/) print "Suites: " suite "-backports"
            else if ($i !~ /^#/) print $i
        }
        exit
    }' "${sources[@]}" >"$list.sources"
    [ -s "$list.sources" ] && return 0
    rm -f "$list.sources"
    # One-line form: deb [options] URI SUITE COMPONENT...
    [ -f /etc/apt/sources.list ] && awk -v suite="$codename" '
        $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            if ($(i + 1) == suite) { $(i + 1) = suite "-backports"; print; exit }
        }' /etc/apt/sources.list >"$list.list"
    [ -s "$list.list" ] && return 0
    rm -f "$list.list"
    echo "no Debian source for $codename in /etc/apt/sources.list or sources.list.d" >&2
    exit 1
}
