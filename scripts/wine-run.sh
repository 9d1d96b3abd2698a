#!/bin/sh
# Runs a Windows test program under wine, quietly and without a display.
export WINEDEBUG=-all
exec wine "$@"
