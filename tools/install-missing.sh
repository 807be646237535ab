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
        echo "missing: ${needed[*]}; install them, or run this as root" >&2
        exit 1
    fi
    echo "installing: ${needed[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${needed[@]}" \
        >/dev/null
    needed=()
}
