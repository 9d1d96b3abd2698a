#!/usr/bin/env bash
# Builds the Linux program and the benchmark tools, then runs the socket
# benchmark and the posting benchmark (kestrun, inews and nntplib against a
# private INN and a loopback sink), then the socket layers' benchmarks (line
# mode, SOCKS negotiation through microsocks and dante, a synchronous wait).
# Run as root: the servers use port 119, dante checks system accounts.
#
#   scripts/bench.sh [megabytes] [--layers-only]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$(nproc)" --target kestrun socket_bench post_variants runstat layers_bench
if [ "${2:-}" != "--layers-only" ]; then
  build/linux/tests/bench/socket_bench "${1:-100}" 5
  echo
  python3 tests/bench/posting_bench.py build/linux/app/kestrun build/linux/tests/bench/post_variants \
    build/linux/tests/bench/runstat
fi

echo
echo "== Line mode: 1,000,000 lines of 80 bytes over loopback"
build/linux/tests/bench/layers_bench lines 1000000
/usr/bin/python3 tests/bench/line_read.py build/linux/tests/bench/layers_bench 1000000
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
