#!/usr/bin/env bash
# Builds the Linux program and the benchmark tools, then runs the socket
# benchmark and the posting benchmark (kestrun, inews and nntplib against a
# private INN and a loopback sink). Run as root: the servers use port 119.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$(nproc)" --target kestrun socket_bench post_variants runstat
build/linux/tests/bench/socket_bench "${1:-100}" 5
echo
python3 tests/bench/posting_bench.py build/linux/app/kestrun build/linux/tests/bench/post_variants \
  build/linux/tests/bench/runstat
