#!/usr/bin/env bash
# The main job: sets up, builds kestrun, starts a private news server on
# 127.0.0.2, posts a sample Polish article with kestrun and shows the console
# line, the exit code and the article as the server stored it, read back
# with the example reader nntpfetch.
#
# One line per step; what apt, the build and the news server print goes to a
# log file, named at the start and shown only when a step fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

log="$(mktemp /tmp/kestrun-demo.XXXXXX.log)"
work="$(mktemp -d /tmp/kestrun-demo.XXXXXX)"
server="${KESTRUN_DEMO_ADDRESS:-127.0.0.2}"  # another loopback address for a second checkout
cleanup() {
  [ -s "$work/inn" ] && scripts/inn.sh stop "$(cat "$work/inn")" >>"$log" 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
step() {  # text command...
  echo "$1"
  shift
  if ! "$@" >>"$log" 2>&1; then
    echo "That step failed. Its output, from $log:" >&2
    cat "$log" >&2
    exit 1
  fi
}
build() {
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/linux -j "$(nproc)" --target kestrun nntpfetch
}
start_inn() { scripts/inn.sh start "$server" >"$work/inn"; }

echo "(the output of apt, the build and the news server goes to $log)"
step "installing the news server and the build tools..." scripts/setup.sh --linux-only
step "building kestrun and nntpfetch..." build
step "starting a private news server on $server..." start_inn

# A UTF-8 text file, as an editor on Linux saves it: the article is declared
# charset=UTF-8. (A file in Windows-1250 would be declared as such.)
article="$work/artykul.txt"
cat >"$article" <<'TEXT'
Dzień dobry!

To jest próbny artykuł wysłany przez Kestrun.
.Ta linia zaczyna się kropką, a następna jest samą kropką:
.
Zażółć gęślą jaźń. Привет, €.
TEXT

echo "posting the sample article:"
echo
echo "\$ kestrun $server \"Jan Kowalski <jan.kowalski@example.invalid>\" pl.test \"Próbny artykuł\" artykul.txt"
set +e
LANG=C.UTF-8 build/linux/app/kestrun "$server" "Jan Kowalski <jan.kowalski@example.invalid>" pl.test \
  "Próbny artykuł" "$article"
code=$?
set -e
echo "(exit code $code)"
echo
# The newest article of the group: its number is the first field of the
# overview's last line. nntpfetch writes the article byte for byte (CR LF).
number="$(build/linux/examples/nntpfetch "$server" pl.test | tail -n 1 | cut -f 1)"
echo "The article as the news server stored it (nntpfetch $server pl.test $number):"
echo "------------------------------------------"
build/linux/examples/nntpfetch "$server" pl.test "$number" | tr -d '\r'
exit "$code"
