#!/usr/bin/env bash
# Sets up, builds the Linux program, a sanitised Linux build and the Windows
# program, starts the peers the tests use, and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$jobs"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/windows -j "$jobs"

# One persistent wine server makes each Windows test start in a fraction of a
# second instead of several seconds.
export WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# The first program of a session starts wine's own background services; start
# them here, detached from our output, or CTest would wait on their pipes.
timeout 120 wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

status=0
echo "== Linux program"
ctest --test-dir build/linux --output-on-failure || status=1
echo "== Linux, AddressSanitizer and UndefinedBehaviorSanitizer (unit tests)"
ctest --test-dir build/sanitize -L unit --output-on-failure || status=1
echo "== Windows program under wine"
ctest --test-dir build/windows --output-on-failure || status=1
exit $status
