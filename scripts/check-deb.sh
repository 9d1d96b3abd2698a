#!/usr/bin/env bash
# Builds the .deb and checks it without installing it on this system: its
# contents are listed and must be the two programs and their manual pages,
# it is unpacked into a scratch root, and the kestrun found there shows its
# help (with the product line read from its own version resource).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/package.sh --linux-only >/dev/null
deb="$(ls build/linux/package/kestrun_*.deb)"
echo "$deb:"
dpkg-deb -c "$deb"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')"
want="./usr/bin/kestrun ./usr/bin/nntpfetch ./usr/share/man/man1/kestrun.1 ./usr/share/man/man1/nntpfetch.1 "
if [ "$files" != "$want" ]; then
  echo "check-deb: the package holds: $files" >&2
  exit 1
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch"
set +e
help="$(LANG=C.UTF-8 "$scratch/usr/bin/kestrun")"
code=$?
set -e
if [ "$code" != 1 ] || [ "$(printf '%s\n' "$help" | head -n 1)" != "Kestrun wersja 1.00.00.00" ] ||
  ! printf '%s\n' "$help" | grep -q '/uzycie'; then
  echo "check-deb: the installed kestrun's help (exit code $code):" >&2
  printf '%s\n' "$help" >&2
  exit 1
fi
"$root/scripts/check-man.sh" "$scratch"/usr/share/man/man1/*.1
echo "check-deb: contents, unpacking and the installed kestrun's help are right"
