#!/usr/bin/env bash
# The main job: sets up, builds kestrun, starts a private news server on
# 127.0.0.2, posts a sample Polish article with kestrun and shows the console
# line, the exit code and the article as the server stored it, read back
# with the example reader nntpfetch.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/setup.sh --linux-only
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j "$(nproc)" --target kestrun nntpfetch

server="${KESTRUN_DEMO_ADDRESS:-127.0.0.2}"  # another loopback address for a second checkout
inn="$(scripts/inn.sh start "$server")"
trap 'scripts/inn.sh stop "$inn"' EXIT

# The article file is Windows-1250 text, as the Content-Type header declares.
article="$(mktemp /tmp/kestrun-demo.XXXXXX.txt)"
trap 'rm -f "$article"; scripts/inn.sh stop "$inn"' EXIT
python3 - "$article" <<'TEXT'
import sys
text = ("Dzień dobry!\r\n"
        "\r\n"
        "To jest próbny artykuł wysłany przez Kestrun.\r\n"
        ".Ta linia zaczyna się kropką, a następna jest samą kropką:\r\n"
        ".\r\n"
        "Zażółć gęślą jaźń.\r\n")
open(sys.argv[1], "wb").write(text.encode("cp1250"))
TEXT

echo "\$ kestrun $server \"Jan Kowalski <jan.kowalski@example.invalid>\" pl.test \"Próbny artykuł\" $article"
set +e
LANG=C.UTF-8 build/linux/app/kestrun "$server" "Jan Kowalski <jan.kowalski@example.invalid>" pl.test \
  "Próbny artykuł" "$article"
code=$?
set -e
echo "(exit code $code)"
echo
# The newest article of the group: its number is the first field of the
# overview's last line. nntpfetch writes the article byte for byte
# (Windows-1250, CR LF); the terminal gets it in UTF-8.
number="$(build/linux/examples/nntpfetch "$server" pl.test | tail -n 1 | cut -f 1)"
echo "The article as the news server stored it (nntpfetch $server pl.test $number):"
echo "------------------------------------------"
build/linux/examples/nntpfetch "$server" pl.test "$number" | iconv -f WINDOWS-1250 -t UTF-8 | tr -d '\r'
exit "$code"
