#!/usr/bin/env bash
# Builds the .deb and checks it without installing it on this system: its
# contents are listed and must be the three programs, their manual pages, the
# copyright file and the changelog; Debian's own checker, lintian, must find
# no error and no warning (informational tags are shown); the changelog's
# latest entry must name the package's version; and the kestrun unpacked
# into a scratch root shows its help (with the product line read from its
# own version resource).
#
# KESTRUN_LINUX_BUILD names another build folder than build/linux.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The build's own output is shown only when it fails, and then whole.
log="$(mktemp)"
if ! scripts/package.sh --linux-only >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "$(basename "$0"): scripts/package.sh --linux-only failed (above)" >&2
  exit 1
fi
rm -f "$log"
deb="$(ls "${KESTRUN_LINUX_BUILD:-build/linux}"/package/kestrun_*.deb)"
echo "$deb:"
dpkg-deb -c "$deb"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')"
want="./usr/bin/echoserver ./usr/bin/kestrun ./usr/bin/nntpfetch ./usr/share/doc/kestrun/changelog.gz \
./usr/share/doc/kestrun/copyright ./usr/share/man/man1/echoserver.1.gz ./usr/share/man/man1/kestrun.1.gz \
./usr/share/man/man1/nntpfetch.1.gz "
if [ "$files" != "$want" ]; then
  echo "check-deb: the package holds: $files" >&2
  exit 1
fi
echo "lintian:"
if ! lintian --fail-on error,warning --display-info "$deb" 2>/dev/null; then
  echo "check-deb: lintian found errors or warnings (above)" >&2
  exit 1
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch"
version="$(dpkg-deb -f "$deb" Version)"
latest="$(zcat "$scratch/usr/share/doc/kestrun/changelog.gz" | head -n 1)"
case "$latest" in
"kestrun ($version) "*) ;;
*) echo "check-deb: the changelog's latest entry is not for $version: $latest" >&2; exit 1 ;;
esac
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
"$root/scripts/check-man.sh" "$scratch"/usr/share/man/man1/*.1.gz
echo "check-deb: contents, lintian, changelog, unpacking and the installed kestrun's help are right"
