#!/usr/bin/env bash
# Builds the packages: a .deb of the Linux programs with their manual pages,
# licence and changelog, and a .zip of the Windows programs with the README
# and the licence; beside each, the components for developers (kestrun-dev's
# .deb, the SDK's .zip).
#
#   scripts/package.sh [--linux-only | --windows-only]
#
# They land in build/linux/package/ and build/windows/package/
# (KESTRUN_LINUX_BUILD and KESTRUN_WINDOWS_BUILD name other build folders).
# The builds keep whatever options they were configured with (a second
# checkout's addresses, say); a missing one is configured with the defaults.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

linux=1 windows=1
for arg in "$@"; do
  case "$arg" in
  --linux-only) windows=0 ;;
  --windows-only) linux=0 ;;
  *) echo "usage: scripts/package.sh [--linux-only | --windows-only]" >&2; exit 2 ;;
  esac
done
linux_build="${KESTRUN_LINUX_BUILD:-build/linux}"
windows_build="${KESTRUN_WINDOWS_BUILD:-build/windows}"

jobs=$(nproc)
if [ "$linux" = 1 ]; then
  [ -f "$linux_build/CMakeCache.txt" ] ||
    cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake "$linux_build" >/dev/null
  cmake --build "$linux_build" -j "$jobs" --target kestrun nntpfetch echoserver
  (cd "$linux_build" && cpack -G DEB >/dev/null)
  # kestrun-dev: the components' headers, libraries, CMake package and .pc.
  (cd "$linux_build" && cpack --config CPackDevConfig.cmake -G DEB >/dev/null)
  ls "$linux_build"/package/*.deb
fi

if [ "$windows" = 1 ]; then
  [ -f "$windows_build/CMakeCache.txt" ] ||
    cmake -S . -B "$windows_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
  cmake "$windows_build" >/dev/null
  cmake --build "$windows_build" -j "$jobs" --target kestrun nntpfetch echoserver
  (cd "$windows_build" && cpack -G ZIP >/dev/null)
  # The SDK for mingw: the same as kestrun-dev, in a folder of its own.
  (cd "$windows_build" && cpack --config CPackDevConfig.cmake -G ZIP >/dev/null)
  ls "$windows_build"/package/*.zip
fi
