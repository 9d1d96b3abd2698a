#!/usr/bin/env bash
# Creates the wine prefix once, without the prompts for Mono and Gecko, and
# with the null graphics driver so that hidden windows work without a display.
set -euo pipefail
export WINEDEBUG=-all
prefix="${WINEPREFIX:-$HOME/.wine}"
if [ ! -f "$prefix/.kestrun-ready" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 120 wineserver -w || true
  touch "$prefix/.kestrun-ready"
fi
