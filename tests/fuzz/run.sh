#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (and AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz, and fuzzes each one briefly,
# starting from its seed corpus in tests/fuzz/corpus.
#
#   tests/fuzz/run.sh [SECONDS]    seconds per target, 10 when not given
#
# New inputs go to build/fuzz/corpus, never into the seeds. A broken
# property or a sanitizer report ends the run with the crashing input in
# build/fuzz and a non-zero exit.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/fuzz"
seconds="${1:-10}"
mkdir -p "$out"

flags=(-std=c++20 -O1 -g -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined
  -fno-sanitize-recover=undefined -I"$root")
build() {  # target, extra sources...
  local target="$1"
  shift
  clang++ "${flags[@]}" "$root/tests/fuzz/fuzz_$target.cc" "$@" -o "$out/fuzz_$target"
}
build lines "$root/nntp/NntpText.cc"
build status "$root/nntp/NntpText.cc"
build charset "$root/app/bodyscan.cc"
# The client itself on the bytes a server sends: it needs the whole stack
# below it (the POSIX emulation of the platform included).
posix=()
for f in "$root"/platform/posix/*.cc; do
  [ "$(basename "$f")" = testsupport.cc ] || posix+=("$f")
done
build reply "$root"/nntp/*.cc "$root"/net/*.cc "$root"/rtl/*.cc "${posix[@]}" \
  -DKESTRUN_VERSION_SECTION='".versioninfo"' -Wno-ignored-attributes -lpthread -lz

build socks_reply "$root/net/SocksProto.cc"
build line_mode "$root/net/LineBuffer.cc"
build inflate "$root/net/InflateStream.cc" -lz
build tls_records "$root/platform/posix/tls.cc" -lssl -lcrypto

for target in lines status charset reply socks_reply line_mode tls_records inflate; do
  # The client's inputs hold long data lines.
  max_len=16384
  [ "$target" = reply ] && max_len=300000
  mkdir -p "$out/corpus/$target"
  echo "== fuzz_$target, ${seconds}s"
  (cd "$out" && "./fuzz_$target" "corpus/$target" "$root/tests/fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    >"fuzz_$target.log" 2>&1) || {
    tail -n 40 "$out/fuzz_$target.log"
    echo "fuzz_$target failed; its log: $out/fuzz_$target.log" >&2
    exit 1
  }
  grep -E "stat::number_of_executed_units|stat::new_units_added" "$out/fuzz_$target.log" || true
done
