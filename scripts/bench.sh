#!/usr/bin/env bash
# Builds the Linux programs and the benchmark tools, then runs the socket
# benchmark, the posting benchmark (kestrun, inews and nntplib against a
# private INN and a loopback sink) and the reading benchmark (nntpfetch,
# nntplib and a plain blocking reader against INN and a replay server, and
# posting after a login), the TLS benchmark (posting and reading over NNTPS,
# against nntplib and the same runs in clear, and a post with the system's
# trust store as a user has it), the compression benchmark
# (reading and posting through a 10 Mbit/s link with 20 ms each way, against
# nntplib, inews and the plain reader with zlib), the IPv6 benchmark (a
# dual-stack name whose IPv6 address never answers, against nntplib and inews;
# posting and reading over ::1 against IPv4), and draws docs/benchmarks.svg from
# the figures; then the
# socket layers' benchmarks (line mode, SOCKS negotiation through microsocks
# and dante, a synchronous wait). Run as root: the servers use port 119,
# dante checks system accounts.
#
#   scripts/bench.sh [megabytes] [--layers-only]
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
cmake --build build/linux -j "$(nproc)" --target kestrun nntpfetch socket_bench post_variants runstat \
  plain_reader layers_bench
if [ "${2:-}" != "--layers-only" ]; then
  results="build/linux/bench-results.csv"
  : >"$results"
  build/linux/tests/bench/socket_bench "${1:-100}" 5
  echo
  python3 tests/bench/posting_bench.py build/linux/app/kestrun build/linux/tests/bench/post_variants \
    build/linux/tests/bench/runstat "$results"
  echo
  python3 tests/bench/reading_bench.py build/linux/examples/nntpfetch build/linux/tests/bench/plain_reader \
    build/linux/app/kestrun build/linux/tests/bench/runstat "$results"
  echo
  python3 tests/bench/tls_bench.py build/linux/app/kestrun build/linux/examples/nntpfetch \
    build/linux/tests/bench/plain_reader build/linux/tests/bench/runstat "$results"
  echo
  python3 tests/bench/compress_bench.py build/linux/examples/nntpfetch build/linux/tests/bench/plain_reader \
    build/linux/app/kestrun build/linux/tests/bench/runstat "$results"
  echo
  python3 tests/bench/ipv6_bench.py build/linux/app/kestrun build/linux/examples/nntpfetch \
    build/linux/tests/bench/runstat
  python3 tests/bench/plot.py "$results" docs/benchmarks.svg
fi

echo
echo "== Line mode: 16,000,000 lines of 80 bytes over loopback, 7 runs of each in turn"
build/linux/tests/bench/layers_bench lines 16000000 7
/usr/bin/python3 tests/bench/line_read.py build/linux/tests/bench/layers_bench 16000000
echo
echo "== SOCKS 5: connect and negotiate, median of 1,000"
socks_dir="$(mktemp -d /tmp/kestrun-bench-socks.XXXXXX)"
rmdir "$socks_dir"
scripts/socks.sh start 127.0.0.12 "$socks_dir" >/dev/null
trap 'scripts/socks.sh stop "$socks_dir"' EXIT
build/linux/tests/bench/layers_bench socks 127.0.0.12:1082 127.0.0.12:1080
/usr/bin/python3 tests/bench/socks_connect.py 127.0.0.12:1082 127.0.0.12:1080
echo
echo "== Synchronous wait on a silent server"
build/linux/tests/bench/layers_bench wait 5000
