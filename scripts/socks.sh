#!/usr/bin/env bash
# SOCKS servers for tests and benchmarks, on one loopback address:
#
#   scripts/socks.sh start ADDRESS DIR [NAME=ADDR...]   starts them; prints DIR
#   scripts/socks.sh stop DIR
#
#   ADDRESS:1080  dante, SOCKS 4 and 5, no authentication
#   ADDRESS:1081  dante, SOCKS 5 with user name and password, checked
#                 against the system account kestrunsocks (password
#                 "kestrun-socks"), which start creates when missing
#   ADDRESS:1082  microsocks, no authentication
#   ADDRESS:1083  microsocks -u kestrun -P "micro secret"
#   ADDRESS:1084  a SOCKS 4/4A relay on IO::Socket::Socks (dante refuses 4A
#                 names); the NAME=ADDR pairs are names only it resolves
#   [::1]:PORT6   dante, SOCKS 5 over IPv6, relaying to IPv6 destinations on
#                 ::1; PORT6 is 10000 plus the last number of ADDRESS, so
#                 that the servers of two builds stay apart (only where the
#                 machine has an IPv6 loopback address)
#
# Everything runs from DIR, which stop removes (only a folder start made).
# Needs root (dante's user name check reads the shadow file) and the
# packages dante-server, microsocks, libio-socket-socks-perl.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
marker=.kestrun-socks
account=kestrunsocks
account_password=kestrun-socks

# Running and not merely a zombie that nobody has reaped yet.
alive() {
  local st
  st="$(ps -o stat= -p "$1" 2>/dev/null || true)"
  [ -n "$st" ] && [ "${st#Z}" = "$st" ]
}

listening() {  # address port
  timeout 2 bash -c "exec 3<>/dev/tcp/$1/$2" 2>/dev/null
}

dante_conf() {  # address port method log
  cat <<CONF
logoutput: $4
internal: $1 port = $2
external: 127.0.0.1
clientmethod: none
socksmethod: $3
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
}
socks pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  command: connect
  protocol: tcp
}
CONF
}

# dante on ::1, both sides IPv6: address port log
dante6_conf() {
  cat <<CONF
logoutput: $3
internal: $1 port = $2
external: $1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {
  from: ::1/128 to: ::/0
}
socks pass {
  from: ::1/128 to: ::1/128
  command: connect
  protocol: tcp
}
CONF
}

case "${1:-}" in
start)
  addr="${2:?usage: socks.sh start ADDRESS DIR}"
  dir="${3:?usage: socks.sh start ADDRESS DIR}"
  names=("${@:4}")
  mkdir -p "$dir"
  if [ ! -f "$dir/$marker" ] && [ -n "$(ls -A "$dir")" ]; then
    echo "socks.sh: $dir is not empty and is not a folder of ours" >&2
    exit 1
  fi
  touch "$dir/$marker"
  "$0" stop "$dir" --keep >/dev/null 2>&1 || true
  if ! id "$account" >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin "$account"
  fi
  echo "$account:$account_password" | chpasswd

  dante_conf "$addr" 1080 none "$dir/dante-plain.log" >"$dir/dante-plain.conf"
  dante_conf "$addr" 1081 username "$dir/dante-user.log" >"$dir/dante-user.conf"
  danted -D -f "$dir/dante-plain.conf" -p "$dir/dante-plain.pid"
  danted -D -f "$dir/dante-user.conf" -p "$dir/dante-user.pid"
  port6=$((10000 + ${addr##*.}))
  endpoints=("$addr:1080" "$addr:1081" "$addr:1082" "$addr:1083" "$addr:1084")
  # Not on a machine with IPv6 switched off (its tests then skip).
  if grep -qs '^0\{31\}1 ' /proc/net/if_inet6; then
    dante6_conf ::1 "$port6" "$dir/dante-ipv6.log" >"$dir/dante-ipv6.conf"
    danted -D -f "$dir/dante-ipv6.conf" -p "$dir/dante-ipv6.pid"
    endpoints+=("::1:$port6")
  fi
  setsid microsocks -i "$addr" -p 1082 >"$dir/micro-plain.log" 2>&1 </dev/null &
  echo $! >"$dir/micro-plain.pid"
  setsid microsocks -i "$addr" -p 1083 -u kestrun -P "micro secret" >"$dir/micro-user.log" 2>&1 </dev/null &
  echo $! >"$dir/micro-user.pid"
  setsid perl "$here/socks4a_relay.pl" "$addr" 1084 "${names[@]}" >"$dir/relay.log" 2>&1 </dev/null &
  echo $! >"$dir/relay.pid"

  for endpoint in "${endpoints[@]}"; do
    host="${endpoint%:*}" port="${endpoint##*:}"
    for _ in $(seq 1 100); do
      listening "$host" "$port" && break
      sleep 0.1
    done
    if ! listening "$host" "$port"; then
      echo "socks.sh: nothing listens on $endpoint; logs:" >&2
      cat "$dir"/*.log >&2 || true
      "$0" stop "$dir" >/dev/null 2>&1 || true
      exit 1
    fi
  done
  echo "$dir"
  ;;
stop)
  dir="${2:?usage: socks.sh stop DIR}"
  if [ ! -f "$dir/$marker" ]; then
    echo "socks.sh: $dir was not made by socks.sh start; not touching it" >&2
    exit 1
  fi
  for pidfile in "$dir"/*.pid; do
    [ -f "$pidfile" ] || continue
    pid="$(cat "$pidfile")"
    # dante's main process ends its children itself.
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      alive "$pid" || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
  done
  [ "${3:-}" = "--keep" ] || rm -rf "$dir"
  ;;
*)
  echo "usage: socks.sh start ADDRESS DIR | stop DIR" >&2
  exit 2
  ;;
esac
