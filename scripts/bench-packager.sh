#!/usr/bin/env bash
# Publishing the program twice, first run and up-to-date run: whole-process
# time, and the files the up-to-date run reads and writes. The first run is
# measured also with the flushes to the disk made no-ops (libeatmydata), to
# show what they cost. With the Windows build present, the same under wine
# in the tests' copy of the wine prefix.
#
#   scripts/bench-packager.sh [RUNS]
#
# KESTRUN_LINUX_BUILD and KESTRUN_WINDOWS_BUILD name other build folders than
# build/linux and build/windows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
command -v strace >/dev/null && command -v eatmydata >/dev/null ||
  apt-get install -y -q --no-install-recommends strace eatmydata >/dev/null
linux="${KESTRUN_LINUX_BUILD:-build/linux}" windows="${KESTRUN_WINDOWS_BUILD:-build/windows}"
cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$linux" -j 2 --target kestrun runstat
args=("$linux/app/kestrun" "$linux/tests/bench/runstat" "${1:-15}")
# By its bare name, so that the 32-bit wine finds its own build.
args+=(--no-flush libeatmydata.so)
if [ -f "$windows/app/kestrun.exe" ] && [ -f "$windows/tests/unit/fake_compress.exe" ] &&
  [ -d "$windows/wine-tests" ]; then
  dpkg-query -W -f='${Status}' libeatmydata1:i386 2>/dev/null | grep -q "install ok installed" ||
    apt-get install -y -q --no-install-recommends libeatmydata1:i386 >/dev/null
  args+=(--wine "$windows/app/kestrun.exe" --fake-compress "$windows/tests/unit/fake_compress.exe"
    --prefix "$root/$windows/wine-tests")
fi
python3 tests/bench/packager_bench.py "${args[@]}"
