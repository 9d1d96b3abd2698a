#!/usr/bin/env bash
# Sets up, builds the Linux program and runs it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$(nproc)" --target kestrun
set +e
build/linux/app/kestrun "$@"
echo "(exit code $?)"
