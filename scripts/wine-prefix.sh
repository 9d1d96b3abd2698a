#!/usr/bin/env bash
# Creates the build's wine prefix (build/wine unless WINEPREFIX names another)
# once, without the prompts for Mono and Gecko, and with the null graphics
# driver so that hidden windows work without a display.
set -euo pipefail
export WINEDEBUG=-all
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/wine}"
if [ ! -f "$WINEPREFIX/.kestrun-ready" ]; then
  mkdir -p "$WINEPREFIX"
  WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 120 wineserver -w || true
  touch "$WINEPREFIX/.kestrun-ready"
fi
