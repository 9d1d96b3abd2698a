#!/usr/bin/env bash
# Sets up, builds the Linux program, a sanitised Linux build and the Windows
# program, starts the peers the tests use, and runs every test.
#
#   scripts/test.sh [--linux-only] [--unit]
#
#   --linux-only  no Windows build and no wine
#   --unit        unit tests only (no real peers, no fuzzing run)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

linux_only=0 unit_only=0
for arg in "$@"; do
  case "$arg" in
  --linux-only) linux_only=1 ;;
  --unit) unit_only=1 ;;
  *) echo "usage: scripts/test.sh [--linux-only] [--unit]" >&2; exit 2 ;;
  esac
done

if [ "$linux_only" = 1 ]; then scripts/setup.sh --linux-only; else scripts/setup.sh; fi

status=0
labels=()
[ "$unit_only" = 1 ] && labels=(-L unit)

echo "== Source checks: formatting and include layering"
scripts/check-format.sh || status=1
scripts/check-layers.sh || status=1

# Every test runs beside the others in any order (each finds its own
# articles by a tag, holds its unreachable endpoints closed itself, and
# fixtures that share state say so), so CTest runs as many as there are cores.
jobs=$(nproc)
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$jobs"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
if [ "$linux_only" = 0 ]; then
  cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
  cmake --build build/windows -j "$jobs"

  # The tests' own wine prefix, with one persistent wine server for it, so
  # that each Windows test starts in a fraction of a second instead of
  # several seconds; stopping it touches no other wine program.
  export WINEDEBUG=-all WINEPREFIX="$root/build/wine"
  scripts/wine-prefix.sh
  wineserver -p >/dev/null 2>&1 || true
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  # The first program of a session starts wine's own background services;
  # start them here, detached from our output, or CTest would wait on their
  # pipes.
  timeout 120 wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi

echo "== Linux program"
ctest --test-dir build/linux -j "$jobs" "${labels[@]}" --output-on-failure || status=1
echo "== Linux, AddressSanitizer and UndefinedBehaviorSanitizer (unit tests)"
ctest --test-dir build/sanitize -j "$jobs" -L unit --output-on-failure || status=1
if [ "$linux_only" = 0 ]; then
  echo "== Windows program under wine"
  ctest --test-dir build/windows -j "$jobs" "${labels[@]}" --output-on-failure || status=1
fi
if [ "$unit_only" = 0 ]; then
  # The packages are built as a user builds them from a fresh clone: into
  # empty build folders, so that nothing the builds above made can stand in
  # for a target that scripts/package.sh forgets.
  packages="$(mktemp -d)"
  echo "== The .deb package from an empty build folder: contents, lintian, unpacked into a scratch root, its kestrun's help"
  KESTRUN_LINUX_BUILD="$packages/linux" scripts/check-deb.sh || status=1
  if [ "$linux_only" = 0 ]; then
    echo "== The Windows .zip from an empty build folder: its contents"
    KESTRUN_WINDOWS_BUILD="$packages/windows" scripts/check-zip.sh || status=1
  fi
  rm -rf "$packages"
fi
if [ "$unit_only" = 0 ] && [ -x tests/fuzz/run.sh ]; then
  echo "== A short fuzzing run (libFuzzer)"
  tests/fuzz/run.sh || status=1
fi
exit $status
