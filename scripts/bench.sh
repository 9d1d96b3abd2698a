#!/usr/bin/env bash
# Builds the Linux programs and the benchmark tools, then runs the socket
# benchmark, the posting benchmark (kestrun, inews and nntplib against a
# private INN and a loopback sink) and the reading benchmark (nntpfetch,
# nntplib and a plain blocking reader against INN and a replay server, and
# posting after a login), and draws benchmarks.svg from the figures. Run as
# root: the servers use port 119.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
# The plot needs gnuplot; only the benchmarks do, so it is not in set-up.
if ! command -v gnuplot >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends gnuplot-nox
fi
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$(nproc)" --target kestrun nntpfetch socket_bench post_variants runstat plain_reader
results="build/linux/bench-results.csv"
: >"$results"
build/linux/tests/bench/socket_bench "${1:-100}" 5
echo
python3 tests/bench/posting_bench.py build/linux/app/kestrun build/linux/tests/bench/post_variants \
  build/linux/tests/bench/runstat "$results"
echo
python3 tests/bench/reading_bench.py build/linux/examples/nntpfetch build/linux/tests/bench/plain_reader \
  build/linux/app/kestrun build/linux/tests/bench/runstat "$results"
python3 tests/bench/plot.py "$results" benchmarks.svg
