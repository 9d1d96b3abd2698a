#!/bin/sh
# Runs a Windows test program under wine, quietly and without a display, in
# the build's own wine prefix (never the user's: stopping a shared wine
# server would end the user's other wine programs).
export WINEDEBUG=-all
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/wine}"
[ -f "$WINEPREFIX/.kestrun-ready" ] || "$root/scripts/wine-prefix.sh" >&2
exec wine "$@"
