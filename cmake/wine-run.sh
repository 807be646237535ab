#!/bin/sh
# Runs a Windows program under wine64 in the prefix given as $1:
#   wine-run.sh PREFIX PROGRAM [ARG...]
#   wine-run.sh PREFIX wineserver [OPTION...]   (-p: stay up between runs, -k: stop)
# Debian does not put wine64 on PATH.
WINEPREFIX=$1
shift
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installers on the first start of a prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
for wine in "${ISI386_WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [ -n "$wine" ] && [ -x "$wine" ]; then
        if [ "$1" = wineserver ]; then
            shift
            exec "$(dirname "$wine")/wineserver" "$@"
        fi
        exec "$wine" "$@"
    fi
done
echo "wine64 not found; install Debian's wine64 package" >&2
exit 127
