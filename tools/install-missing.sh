# Sourced by the project's scripts. `needs PACKAGE CHECK...` notes PACKAGE
# unless the command CHECK succeeds; `install_needed` then installs what was
# noted with apt-get (as root), or stops with the list.
needed=()
needs() {
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || needed+=("$package")
}
has() { command -v "$1"; }
install_needed() {
    [ ${#needed[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${needed[*]}; as root: apt-get install ${needed[*]}" >&2
        exit 1
    fi
    echo "installing: ${needed[*]}"
    apt_install "${needed[@]}"
    needed=()
}
apt_install() { # [apt-get install options...] packages...
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Wine's 32-bit loader (wine32:i386), and where this kernel cannot run
# 32-bit code, qemu-i386 from the backports suite to run it under (the
# release's own qemu is far too slow for it). Installs at once.
install_wine32() {
    local i386=1
    dpkg --print-foreign-architectures | grep -qx i386 || i386=0
    needs wine32:i386 test -x /usr/lib/wine/wine
    if [ ${#needed[@]} -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
        local add=""
        [ $i386 = 1 ] || add="dpkg --add-architecture i386 && apt-get update && "
        echo "missing: ${needed[*]}; as root: ${add}apt-get install ${needed[*]}" >&2
        exit 1
    fi
    [ $i386 = 1 ] || dpkg --add-architecture i386
    install_needed
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        return 0
    fi
    qemu-i386 --version 2>/dev/null | grep -Eq 'version ([1-9][0-9]|9)\.' && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: qemu-user 9 or later (this kernel runs no 32-bit code); as root: apt-get install -t $(. /etc/os-release && echo "$VERSION_CODENAME")-backports qemu-user" >&2
        exit 1
    fi
    add_backports
    echo "installing: qemu-user from ${codename}-backports"
    apt_install -t "${codename}-backports" qemu-user
}

# Adds CODENAME-backports with the URIs and key of the machine's own Debian
# source, a deb822 file in sources.list.d or a line of sources.list, so no
# mirror is named here.
add_backports() {
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
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
