#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a while, starting from
# its seed corpus (a copy: new inputs stay in the build folder).
#
#   tests/fuzz/run.sh [SECONDS]     (60 by default)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-60}"
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUN_FUZZ=ON -DKESTRUN_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -Wno-ignored-attributes" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
status=0
for target in nntp_reply; do
  cmake --build "$build" -j2 --target "${target}_fuzz"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$root/tests/fuzz/corpus/$target"/* "$corpus/"
  "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=300000 "$corpus" || status=1
done
exit $status
