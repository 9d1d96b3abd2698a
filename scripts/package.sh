#!/usr/bin/env bash
# Builds the packages: a .deb of the Linux programs and their manual pages,
# and a .zip of the Windows programs with the README.
#
#   scripts/package.sh [--linux-only]
#
# They land in build/linux/package/ and build/windows/package/. The builds
# keep whatever options they were configured with (a second checkout's
# addresses, say); a missing one is configured with the defaults.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

linux_only=0
for arg in "$@"; do
  case "$arg" in
  --linux-only) linux_only=1 ;;
  *) echo "usage: scripts/package.sh [--linux-only]" >&2; exit 2 ;;
  esac
done

jobs=$(nproc)
[ -f build/linux/CMakeCache.txt ] ||
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake build/linux >/dev/null
cmake --build build/linux -j "$jobs" --target kestrun nntpfetch
(cd build/linux && cpack -G DEB >/dev/null)
ls build/linux/package/*.deb

if [ "$linux_only" = 0 ]; then
  [ -f build/windows/CMakeCache.txt ] ||
    cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
  cmake build/windows >/dev/null
  cmake --build build/windows -j "$jobs" --target kestrun nntpfetch
  (cd build/windows && cpack -G ZIP >/dev/null)
  ls build/windows/package/*.zip
fi
