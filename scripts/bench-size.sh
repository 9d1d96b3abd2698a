#!/usr/bin/env bash
# What the components cost a program: connect_echo (tests/bench/size/), a
# program that connects and echoes, built from the development install
# (cmake --install --component dev --strip, into a scratch prefix) with
# pkg-config, against the same program on libuv linked statically
# (libuv_a.a of Debian's libuv1-dev). Prints a Markdown table: file sizes as
# linked and stripped, the sections (size(1)), and the shared libraries
# each needs. Each program first echoes a local peer's 100,000 bytes, so
# that only working programs are weighed.
#
#   scripts/bench-size.sh      (KESTRUN_LINUX_BUILD names another build than build/linux)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="${KESTRUN_LINUX_BUILD:-build/linux}"
cmake --build "$build" --target kestrun >/dev/null
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --component dev --strip --prefix "$scratch/prefix" >/dev/null
PKG_CONFIG_LIBDIR="$(dirname "$(find "$scratch/prefix" -name kestrun.pc)")"
export PKG_CONFIG_LIBDIR
libuv="$(find /usr/lib -name libuv_a.a -o -name libuv.a | head -n 1)"
[ -n "$libuv" ] || { echo "bench-size: no static libuv (libuv1-dev)" >&2; exit 1; }

src=tests/bench/size
# shellcheck disable=SC2046 # pkg-config's words are meant to split
c++ -O2 -o "$scratch/kestrun" $src/connect_echo.cc $(pkg-config --cflags --libs kestrun)
# shellcheck disable=SC2046
c++ -O2 -o "$scratch/kestrun-static-libstdc++" $src/connect_echo.cc \
  $(pkg-config --cflags --libs kestrun) -static-libstdc++ -static-libgcc
cc -O2 -o "$scratch/libuv" $src/connect_echo_uv.c "$libuv" -pthread -ldl

echo_check() {
  python3 - "$1" <<'PY'
import os, socket, subprocess, sys
listener = socket.create_server(("127.0.0.1", 0))
proc = subprocess.Popen([sys.argv[1], "127.0.0.1", str(listener.getsockname()[1])])
conn, _ = listener.accept()
data = os.urandom(100_000)
conn.sendall(data)
got = b""
while len(got) < len(data):
    chunk = conn.recv(65536)
    if not chunk:
        break
    got += chunk
conn.close()
code = proc.wait(timeout=60)
sys.exit(0 if got == data and code == 0 else 1)
PY
}

echo "| program | as linked | stripped | text | data | bss | shared libraries |"
echo "|---|---|---|---|---|---|---|"
for name in kestrun kestrun-static-libstdc++ libuv; do
  program="$scratch/$name"
  echo_check "$program" || { echo "bench-size: $name did not echo" >&2; exit 1; }
  linked=$(stat -c %s "$program")
  strip -o "$program.stripped" "$program"
  stripped=$(stat -c %s "$program.stripped")
  read -r text data bss _ < <(size "$program.stripped" | tail -n 1)
  needed=$(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf '| %s | %d | %d | %d | %d | %d | %s|\n' "$name" "$linked" "$stripped" "$text" "$data" "$bss" "$needed"
done
