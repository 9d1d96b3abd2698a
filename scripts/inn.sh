#!/usr/bin/env bash
# A private INN news server for tests, the demo and benchmarks.
#
#   scripts/inn.sh start [--auth USER:PASSWORD] [--tls CERTDIR [--login-in-tls]] [ADDRESS [DIR]]
#                                          prints DIR; the server listens on ADDRESS:119
#   scripts/inn.sh stop DIR
#
# With --tls the server also speaks TLS with CERTDIR/good.pem and good.key
# (scripts/tls-certs.sh makes them; ca.pem is its CA): it offers STARTTLS on
# port 119, and a second nnrpd serves NNTPS on ADDRESS:563 (KESTRUN_NNTPS_PORT
# moves it). INN offers STARTTLS in any case, and without --tls answers it
# with 580; clients that refuse to log in after that need --tls. With
# --login-in-tls as well, the login counts only inside TLS (AUTHINFO in clear
# gets 483) and each article names the account that posted it.
#
# With --auth the server wants a login before anything else: every command
# but AUTHINFO and MODE READER gets 480 until the client has logged in as
# USER with PASSWORD (ckpasswd with a password file of its own). The same
# login is written to the folder's etc/passwd.nntp, where inews finds it.
#
# It runs as the news user from a folder of its own (nothing of the system's
# news server is touched), on a loopback address of its own, because the
# poster always connects to the nntp port. Needs root (innd's helper binds
# port 119) and the inn2 package (scripts/setup.sh installs it).
set -euo pipefail

# Ends the daemons of the instance in DIR: the NNTPS nnrpd and innd, each
# found by the socket it listens on as well as by its pid file (nnrpd
# renames its process; an innd that failed to start may have written no
# pid file yet).
stop_daemons() {  # dir
  local dir="$1" addr port pids pid
  addr="$(sed -n 's/^bindaddress: *//p' "$dir/etc/inn.conf" 2>/dev/null)"
  pids=""
  if [ -n "$addr" ]; then
    for port in 119 $(cat "$dir/nntps.port" 2>/dev/null); do
      pids="$pids $(ss -Hltnp "src $addr:$port" | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u)"
    done
  fi
  if [ -f "$dir/run/innd.pid" ]; then
    pid="$(cat "$dir/run/innd.pid")"
    su news -s /bin/sh -c "INNCONF='$dir/etc/inn.conf' /usr/lib/news/bin/ctlinnd -s -t 5 shutdown done" \
      >/dev/null 2>&1 || true
    pids="$pids $pid"
  fi
  for pid in $pids; do
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  done
}

cmd="${1:-}"
marker=.kestrun-inn
case "$cmd" in
start)
  shift
  auth=""
  if [ "${1:-}" = "--auth" ]; then
    auth="${2:?usage: inn.sh start --auth USER:PASSWORD [ADDRESS [DIR]]}"
    case "$auth" in *:*) ;; *) echo "inn.sh: --auth wants USER:PASSWORD" >&2; exit 2 ;; esac
    shift 2
  fi
  tls=""
  ssl_env=""
  if [ "${1:-}" = "--tls" ]; then
    tls="${2:?usage: inn.sh start [--auth USER:PASSWORD] --tls CERTDIR [ADDRESS [DIR]]}"
    tls="$(cd "$tls" && pwd)"
    shift 2
  fi
  login_in_tls=""
  if [ "${1:-}" = "--login-in-tls" ]; then
    login_in_tls=1
    shift
  fi
  nntps_port="${KESTRUN_NNTPS_PORT:-563}"
  addr="${1:-127.0.0.2}"
  dir="${2:-$(mktemp -d /tmp/kestrun-inn.XXXXXX)}"
  mkdir -p "$dir"
  # The folder is wiped by "stop": take only an empty one or one of our own.
  if [ ! -f "$dir/$marker" ] && [ -n "$(ls -A "$dir")" ]; then
    echo "inn.sh: $dir is not empty and is not a news server folder of ours" >&2
    exit 1
  fi
  touch "$dir/$marker"
  rm -rf "$dir/etc"
  cp -a /etc/news "$dir/etc"
  for d in db run spool spool/articles spool/overview spool/incoming spool/incoming/tmp spool/outgoing \
           spool/archive log http; do
    mkdir -p "$dir/$d"
  done
  conf="$dir/etc/inn.conf"
  set_conf() {  # key value
    if grep -qE "^#?\s*$1:" "$conf"; then
      sed -i -E "s|^#?\s*$1:.*|$1: $2|" "$conf"
    else
      echo "$1: $2" >>"$conf"
    fi
  }
  set_conf domain kestrun.test
  set_conf pathhost kestrun-test
  set_conf organization '"Kestrun private test news server"'
  set_conf server "$addr"
  set_conf port 119
  set_conf bindaddress "$addr"
  set_conf bindaddress6 none
  set_conf pathdb "$dir/db"
  set_conf pathetc "$dir/etc"
  set_conf pathrun "$dir/run"
  set_conf pathspool "$dir/spool"
  set_conf patharticles "$dir/spool/articles"
  set_conf pathoverview "$dir/spool/overview"
  set_conf pathincoming "$dir/spool/incoming"
  set_conf pathtmp "$dir/spool/incoming/tmp"
  set_conf pathoutgoing "$dir/spool/outgoing"
  set_conf patharchive "$dir/spool/archive"
  set_conf pathlog "$dir/log"
  set_conf pathhttp "$dir/http"
  set_conf pathfilter "$dir/etc/filter"
  set_conf maxartsize 100000000
  set_conf localmaxartsize 100000000
  set_conf pgpverify false
  # nnrpd refuses readers ("400 load at ...") above a load average of 16 by
  # default: a test machine that builds while it tests goes above that.
  set_conf nnrpdloadlimit 0
  # Every host in incoming.conf is a feeding peer whose POST is refused with
  # "401 MODE-READER"; the poster sends no MODE READER, so list nobody.
  printf 'streaming: true\nmax-connections: 8\n' >"$dir/etc/incoming.conf"
  cat >"$dir/db/active" <<'ACTIVE'
control 0000000000 0000000001 n
control.cancel 0000000000 0000000001 n
junk 0000000000 0000000001 n
pl.test 0000000000 0000000001 y
pl.test.bench 0000000000 0000000001 y
pl.test.read 0000000000 0000000001 y
ACTIVE
  if [ -n "$auth" ]; then
    user="${auth%%:*}" password="${auth#*:}"
    printf '%s:%s\n' "$user" "$(openssl passwd -1 "$password")" >"$dir/etc/newsusers"
    encrypted=""
    if [ -n "$login_in_tls" ]; then
      encrypted="    require_encryption: true"
      printf 'auth "clear" {\n    hosts: "*"\n}\n' >"$dir/etc/readers.conf"
      set_conf addinjectionpostingaccount true
    else
      : >"$dir/etc/readers.conf"
    fi
    cat >>"$dir/etc/readers.conf" <<READERS
auth "users" {
    auth: "ckpasswd -f $dir/etc/newsusers"
$encrypted
}
access "users" {
    users: "*"
    newsgroups: "*"
    access: RPA
}
READERS
    printf '%s:%s:%s\n' "$addr" "$user" "$password" >"$dir/etc/passwd.nntp"
    chmod 600 "$dir/etc/newsusers" "$dir/etc/passwd.nntp"
  fi
  if [ -n "$tls" ]; then
    # nnrpd reads the key as news and wants it private: a copy of our own,
    # in a folder news can search.
    mkdir -p "$dir/etc/tls"
    cp "$tls/good.pem" "$dir/etc/tls/cert.pem"
    cp "$tls/good.key" "$dir/etc/tls/key.pem"
    cp "$tls/ca.pem" "$dir/etc/tls/ca.pem"
    set_conf tlscertfile "$dir/etc/tls/cert.pem"
    set_conf tlskeyfile "$dir/etc/tls/key.pem"
    set_conf tlscafile "$dir/etc/tls/ca.pem"
    echo "$nntps_port" >"$dir/nntps.port"
    # nnrpd also loads OpenSSL's default trust store, used only to check
    # client certificates, which it never asks for: the system's whole
    # bundle, read afresh for every connection (about 30 ms here). Pointed
    # at the test CA, every client's connection is spared that alike (the
    # NNTPS nnrpd below, and innd's for STARTTLS).
    ssl_env="SSL_CERT_FILE='$dir/etc/tls/ca.pem' SSL_CERT_DIR='$dir/etc/tls'"
  fi
  : >"$dir/db/active.times"
  : >"$dir/db/newsgroups"
  : >"$dir/db/history"
  chown -R news:news "$dir"
  chmod 755 "$dir"
  [ -z "$tls" ] || chmod 600 "$dir/etc/tls/key.pem"
  export INNCONF="$conf"
  su news -s /bin/sh -c "cd '$dir/db' && INNCONF='$conf' /usr/lib/news/bin/makedbz -i -o"
  # innd reports its start-up errors only to syslog; keep what it prints.
  # Ready means a reader gets its greeting, not merely that the port is open
  # (innd's helper binds the port before innd has finished starting).
  greets() {
    timeout 5 bash -c "exec 3<>/dev/tcp/$addr/119 && head -c 3 <&3" 2>/dev/null | grep -qE '^20[01]'
  }
  # NNTPS: nnrpd as its own daemon with the same inn.conf; it binds the
  # port as root and then runs as news. Ready when the port takes a TLS
  # handshake and greets inside it.
  start_nntps() {
    SSL_CERT_FILE="$dir/etc/tls/ca.pem" SSL_CERT_DIR="$dir/etc/tls" \
      INNCONF="$conf" /usr/lib/news/bin/nnrpd -D -S -p "$nntps_port" -b "$addr" \
      >>"$dir/log/nnrpd-tls.out" 2>&1 </dev/null
    for _ in $(seq 1 100); do
      if python3 -c 'import socket, ssl, sys
c = ssl.create_default_context(cafile=sys.argv[3])
c.check_hostname = False
with c.wrap_socket(socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)) as s:
    sys.exit(0 if s.recv(3) in (b"200", b"201") else 1)' "$addr" "$nntps_port" "$tls/ca.pem" 2>/dev/null; then
        return 0
      fi
      sleep 0.1
    done
    echo "inn.sh: nnrpd did not serve NNTPS on $addr:$nntps_port" >&2
    cat "$dir/log/nnrpd-tls.out" >&2 2>/dev/null || true
    # Nothing is left running of a start that failed.
    stop_daemons "$dir"
    exit 1
  }
  for attempt in 1 2 3; do
    su news -s /bin/sh -c "${ssl_env:-} INNCONF='$conf' setsid /usr/lib/news/bin/innd -f >>'$dir/log/innd.out' 2>&1 &"
    for _ in $(seq 1 100); do
      if greets; then
        sleep 0.2
        if greets; then
          [ -z "$tls" ] || start_nntps
          echo "$dir"
          exit 0
        fi
      fi
      sleep 0.1
    done
    echo "inn.sh: innd on $addr:119 did not greet (attempt $attempt)" >&2
    stop_daemons "$dir"
    sleep 1
  done
  echo "inn.sh: innd did not start on $addr:119; its output and logs:" >&2
  cat "$dir/log/innd.out" "$dir"/log/news.* >&2 2>/dev/null || true
  stop_daemons "$dir"
  exit 1
  ;;
stop)
  dir="${2:?usage: inn.sh stop DIR}"
  if [ ! -f "$dir/$marker" ]; then
    echo "inn.sh: $dir was not made by inn.sh start; not touching it" >&2
    exit 1
  fi
  stop_daemons "$dir"
  rm -rf "$dir"
  ;;
*)
  echo "usage: inn.sh start [--auth USER:PASSWORD] [--tls CERTDIR [--login-in-tls]] [ADDRESS [DIR]] | stop DIR" >&2
  exit 2
  ;;
esac
