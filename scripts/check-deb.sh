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

# kestrun-dev: exactly the public headers, the libraries, the CMake package
# and the .pc, the licence and changelog; the dependencies a build against
# it needs; lintian as above; and, unpacked, a program built against it in
# one compiler line that runs.
dev="$(ls "${KESTRUN_LINUX_BUILD:-build/linux}"/package/kestrun-dev_*.deb)"
echo "$dev:"
dpkg-deb -c "$dev"
arch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
# The targets' file for the build type the build was configured with.
files="$(dpkg-deb -c "$dev" | awk '$1 !~ /^d/ {print $6}' |
  sed 's|/KestrunTargets-[a-z]*\.cmake$|/KestrunTargets-TYPE.cmake|' | sort | tr '\n' ' ')"
want="$({
  grep -v '^#' cmake/public-headers.txt | grep '\.h$' | sed 's|^|./usr/include/kestrun/|'
  for name in access host netproto nntp-text nntp platform rtl socket; do
    echo "./usr/lib/$arch/libkestrun-$name.a"
  done
  for name in KestrunConfig KestrunConfigVersion KestrunTargets-TYPE KestrunTargets; do
    echo "./usr/lib/$arch/cmake/Kestrun/$name.cmake"
  done
  echo "./usr/lib/$arch/pkgconfig/kestrun.pc"
  echo ./usr/share/doc/kestrun-dev/changelog.gz
  echo ./usr/share/doc/kestrun-dev/copyright
} | sort | tr '\n' ' ')"
if [ "$files" != "$want" ]; then
  echo "check-deb: kestrun-dev holds: $files" >&2
  echo "check-deb: it should hold:     $want" >&2
  exit 1
fi
depends="$(dpkg-deb -f "$dev" Depends)"
if [ "$depends" != "libssl-dev, zlib1g-dev" ]; then
  echo "check-deb: kestrun-dev depends on: $depends" >&2
  exit 1
fi
echo "lintian:"
if ! lintian --fail-on error,warning --display-info "$dev" 2>/dev/null; then
  echo "check-deb: lintian found errors or warnings in kestrun-dev (above)" >&2
  exit 1
fi
dpkg -x "$dev" "$scratch"
PKG_CONFIG_LIBDIR="$scratch/usr/lib/$arch/pkgconfig" sh -c \
  'c++ -o "$1/echoserver" examples/echoserver/echoserver.cc $(pkg-config --cflags --libs kestrun)' \
  sh "$scratch"
coproc server { exec "$scratch/echoserver" 127.0.0.1 0 </dev/null; }
# Bash forgets the coprocess's variables once it has ended: kept here.
server_pid=$server_PID server_out=${server[0]}
reply=""
if read -r -t 30 port <&"$server_out" && exec 3<>"/dev/tcp/127.0.0.1/$port"; then
  printf 'kestrun-dev\n' >&3
  read -r -t 30 reply <&3 || true
  exec 3>&-
fi
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
if [ "$reply" != kestrun-dev ]; then
  echo "check-deb: the echoserver built against kestrun-dev did not echo (port ${port:-none})" >&2
  exit 1
fi
echo "check-deb: contents, lintian, changelog, unpacking and the installed kestrun's help are right;"
echo "check-deb: kestrun-dev's contents, dependencies and lintian are right, and a program builds against it"
