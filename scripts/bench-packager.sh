#!/usr/bin/env bash
# Publishing the program twice, first run and up-to-date run: whole-process
# time, and the files the up-to-date run reads and writes. With the Windows
# build present, the same under wine in the tests' copy of the wine prefix.
#
#   scripts/bench-packager.sh [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
command -v strace >/dev/null || apt-get install -y -q --no-install-recommends strace >/dev/null
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j 2 --target kestrun runstat
args=(build/linux/app/kestrun build/linux/tests/bench/runstat "${1:-15}")
if [ -f build/windows/app/kestrun.exe ] && [ -f build/windows/tests/unit/fake_compress.exe ] &&
  [ -d build/windows/wine-tests ]; then
  args+=(--wine build/windows/app/kestrun.exe --fake-compress build/windows/tests/unit/fake_compress.exe
    --prefix "$root/build/windows/wine-tests")
fi
python3 tests/bench/packager_bench.py "${args[@]}"
