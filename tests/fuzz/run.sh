#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (in build/fuzz) and runs
# each for a while from its seed corpus; new inputs go to build/fuzz only.
#
#   tests/fuzz/run.sh [SECONDS]     default 20 per target
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-20}"
cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUN_FUZZ=ON -DKESTRUN_SANITIZE=ON >/dev/null
status=0
for target in socks_reply_fuzz line_mode_fuzz; do
  cmake --build "$root/build/fuzz" -j2 --target "$target" >/dev/null
  corpus="${target%_fuzz}"
  work="$root/build/fuzz/corpus-$corpus"
  mkdir -p "$work"
  echo "== $target, ${seconds}s"
  "$root/build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
    "$work" "$root/tests/fuzz/corpus/$corpus" 2>&1 | tail -3 || status=1
done
exit $status
