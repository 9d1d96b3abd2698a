#!/usr/bin/env bash
# Checks the include layering of the sources and prints every breach as
# FILE:LINE: reason; fails when there is one.
#
#   - a folder includes only its own headers and those of the layers below
#     it (the table below);
#   - a backend header (platform/posix/..., platform/win32/...) is included
#     only from its own backend folder;
#   - <windows.h>, <winsock.h> and the other Windows headers only in
#     platform/win32, the POSIX socket headers only in platform/posix;
#   - _WIN32 is tested nowhere outside platform/;
#   - no include climbs out of its folder with "..";
#   - a public header (cmake/public-headers.txt, what the development
#     install puts under include/kestrun) includes only public headers, and
#     so do the examples, which are built from outside the tree against
#     that install.
#
# Usage: scripts/check-layers.sh [FILE...]   (default: every source of the tree)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# What each folder may include, besides the standard and system headers.
# Folders not listed here (tests, tools, examples, fuzz) may include every
# layer, but no backend.
declare -A allowed=(
  [platform]="platform"
  [rtl]="platform rtl"
  [net]="platform rtl net"
  [host]="platform rtl net nntp host"
  [nntp]="platform rtl net nntp"
  [packager]="platform rtl host packager"
  [app]="platform rtl net nntp host packager app"
)
layers="platform rtl net nntp host packager app tests tools examples fuzz"
windows_headers='windows\.h|winsock\.h|winsock2\.h|ws2tcpip\.h|wsipx\.h|mswsock\.h|winbase\.h|windef\.h|winuser\.h|shlobj\.h|objbase\.h'
posix_socket_headers='sys/socket\.h|netinet/.*|arpa/inet\.h|netdb\.h|sys/un\.h|poll\.h|sys/epoll\.h|sys/eventfd\.h'

# The public face: header -> 1.
declare -A public=()
while read -r header _; do
  case "$header" in '' | '#'*) continue ;; esac
  public[$header]=1
done <cmake/public-headers.txt

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
    '*.cc' '*.h' '*.c' '*.cpp' '*.hpp' | sort -u)
fi

breaches=0
breach() {
  echo "$1: $2"
  breaches=$((breaches + 1))
}

for header in "${!public[@]}"; do
  [ -f "$header" ] || breach "cmake/public-headers.txt" "public header \"$header\" does not exist"
done

for file in "${files[@]}"; do
  [ -f "$file" ] || continue
  top="${file%%/*}"
  dir="$(dirname "$file")"
  backend=""
  case "$file" in
    platform/posix/*) backend="platform/posix" ;;
    platform/win32/*) backend="platform/win32" ;;
    # Stand-ins for other parties (a benchmark's load, libuv's server): no
    # part of the system, so they use the system's sockets directly.
    tests/bench/peers/*) continue ;;
  esac

  # Held to the public face: the public headers themselves and the examples.
  facing=""
  if [ -n "${public[$file]+set}" ]; then
    facing="public header"
  elif [ "$top" = examples ]; then
    facing="example"
  fi

  while IFS=: read -r line text; do
    if [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]+)[\"\>] ]]; then
      quote="${BASH_REMATCH[1]}"
      path="${BASH_REMATCH[2]}"
    else
      continue
    fi
    where="$file:$line"
    if [ "$quote" = "<" ]; then
      if [[ "$path" =~ ^($windows_headers)$ ]] && [ "$backend" != "platform/win32" ]; then
        breach "$where" "<$path> outside platform/win32"
      elif [[ "$path" =~ ^($posix_socket_headers)$ ]] && [ "$backend" != "platform/posix" ]; then
        breach "$where" "<$path> outside platform/posix"
      fi
      continue
    fi
    if [[ "$path" == *..* ]]; then
      breach "$where" "\"$path\" climbs out of its folder"
      continue
    fi
    first="${path%%/*}"
    if [ -n "$facing" ]; then
      # Named as the install names it: from the top of include/kestrun.
      named="$path"
      [ -f "$dir/$path" ] && [[ " $layers " != *" $first "* ]] && named="$dir/$path"
      if [ -z "${public[$named]+set}" ]; then
        breach "$where" "$facing includes \"$path\", which is internal (not in cmake/public-headers.txt)"
      fi
    fi
    if [ "$first" = "$path" ] || [[ " $layers " != *" $first "* ]]; then
      # Next to the including file (a backend's own internals, or a
      # header of the same folder).
      [ -f "$dir/$path" ] || breach "$where" "\"$path\" is no header of the project"
      continue
    fi
    case "$path" in
      platform/posix/* | platform/win32/*)
        target="platform/$(echo "$path" | cut -d/ -f2)"
        if [ "$backend" != "$target" ]; then
          breach "$where" "backend header \"$path\" outside $target"
        fi
        continue
        ;;
    esac
    if [ -n "${allowed[$top]+set}" ] && [[ " ${allowed[$top]} " != *" $first "* ]]; then
      breach "$where" "$top/ includes \"$path\" from a layer above or beside it"
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)

  if [ "$top" != "platform" ]; then
    while IFS=: read -r line _; do
      breach "$file:$line" "_WIN32 outside platform/"
    done < <(grep -nw '_WIN32' "$file" || true)
  fi
done

if [ "$breaches" -gt 0 ]; then
  echo "check-layers: $breaches breach(es)" >&2
  exit 1
fi
echo "check-layers: ${#files[@]} files, no breach"
