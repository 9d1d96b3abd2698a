#!/usr/bin/env bash
# Installs what building and testing Kestrun needs on Debian (run as root or
# through sudo). Safe to run again: it only adds what is missing.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

want_windows=1
[ "${1:-}" = "--linux-only" ] && want_windows=0

pkgs=(build-essential cmake ninja-build googletest libgtest-dev libbenchmark-dev python3 locales inn2 procps
  clang clang-format libclang-rt-14-dev ncompress desktop-file-utils dante-server microsocks lintian
  libio-socket-socks-perl python3-socks dpkg-dev man-db groff-base libssl-dev openssl libnet-ssleay-perl zlib1g-dev libuv1-dev
  iproute2 util-linux
  pkgconf)
if [ "$want_windows" = 1 ]; then
  pkgs+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 libz-mingw-w64-dev wine wine32)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
  fi
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "${need_update:-0}" = 1 ]; then
  $SUDO apt-get update -q
  if [ "${#missing[@]}" -gt 0 ]; then
    # inn2 must not start a system news server, and it configures only once
    # inn.conf names a domain: install it unconfigured, then set the domain.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
      $SUDO chmod +x "$policy"
      trap '$SUDO rm -f "$policy"' EXIT
    fi
    # wine goes in as its packages recommend (the combination known to work);
    # the rest without recommendations.
    plain=() full=()
    for p in "${missing[@]}"; do
      case "$p" in wine | wine32) full+=("$p") ;; *) plain+=("$p") ;; esac
    done
    # --force-confmiss brings back configuration files removed by hand.
    [ "${#plain[@]}" -eq 0 ] || $SUDO apt-get install -y -q --no-install-recommends \
      -o Dpkg::Options::=--force-confmiss "${plain[@]}" || true
    [ "${#full[@]}" -eq 0 ] || $SUDO apt-get install -y -q "${full[@]}" || true
    if [ -f /etc/news/inn.conf ] && ! grep -q '^domain:' /etc/news/inn.conf; then
      $SUDO sed -i 's/^#* *domain:.*/domain: kestrun.test/' /etc/news/inn.conf
      grep -q '^domain:' /etc/news/inn.conf || echo 'domain: kestrun.test' | $SUDO tee -a /etc/news/inn.conf >/dev/null
    fi
    $SUDO dpkg --configure -a
    for p in "${missing[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || { echo "setup: $p did not install" >&2; exit 1; }
    done
  fi
fi

# The Polish locale gives wine its Polish code pages (1250 and 852).
if ! locale -a 2>/dev/null | grep -qi '^pl_PL\.utf-\?8$'; then
  $SUDO sed -i 's/^# *\(pl_PL.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^pl_PL.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

if [ "$want_windows" = 1 ]; then
  "$(dirname "$0")/wine-prefix.sh"
fi
