#!/usr/bin/env bash
# Test certificates for the TLS tests and a TLS-serving INN:
#
#   scripts/tls-certs.sh DIR ADDRESS [NAME]
#
# writes into DIR (created when missing):
#   ca.pem, ca.key                 a test CA (the one the tests trust)
#   good.pem, good.key             issued by it for IP ADDRESS and DNS NAME
#                                  (default localhost)
#   wrongname.pem, wrongname.key   issued by it, but only for
#                                  wrong.kestrun.invalid and 192.0.2.1
#   expired.pem, expired.key       issued by it for ADDRESS and NAME, valid
#                                  only in 2020
#   unknown-ca.pem, unknown-ca.key issued for ADDRESS and NAME by a second CA
#                                  that is not in ca.pem
#
# RSA 2048 keys with SHA-256 signatures: what every TLS 1.2 stack takes
# (wine's SChannel runs on GnuTLS). Keys are mode 600. A second run with the
# same ADDRESS and NAME changes nothing; a run for another pair makes a new
# set. The set is built in a scratch folder and moved in, so tests running at
# the same time never see half a set.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 DIR ADDRESS [NAME]" >&2
  exit 2
fi
dir="$1"
address="$2"
name="${3:-localhost}"
stamp="$address $name"
files=(ca.pem ca.key good.pem good.key wrongname.pem wrongname.key expired.pem expired.key
  unknown-ca.pem unknown-ca.key)

complete() {
  [ -f "$dir/.stamp" ] && [ "$(cat "$dir/.stamp")" = "$stamp" ] || return 1
  local f
  for f in "${files[@]}"; do [ -s "$dir/$f" ] || return 1; done
}

mkdir -p "$dir"
# Absolute, since the set is made inside a scratch folder of its own.
dir="$(cd "$dir" && pwd)"
complete && exit 0

work="$(mktemp -d "$dir/.work.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
umask 077

# One minimal `openssl ca` set-up serves every signature, because only it
# takes explicit start and end dates on this OpenSSL (3.0 has no
# `x509 -not_before`).
cat >ca.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[v3_leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = $ENV::SAN
CNF

# The leaf section reads its names from SAN; every other use of the file
# still needs the variable to exist.
export SAN=DNS:unused
key() { openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key"; }

# new_ca NAME SUBJECT: a self-signed CA valid from 2019 to 2045, so that it
# spans the expired certificate's dates as well as today.
new_ca() {
  mkdir -p "$1.db/issued"
  : >"$1.db/index.txt"
  openssl rand -hex 16 >"$1.db/serial"
  key "$1"
  openssl req -new -config ca.cnf -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  (cd "$1.db" && openssl ca -batch -notext -config ../ca.cnf -selfsign -keyfile "../$1.key" \
    -extensions v3_ca -startdate 20190101000000Z -enddate 20450101000000Z \
    -in "../$1.csr" -out "../$1.pem" 2>/dev/null)
}

# leaf NAME CA SAN START END
leaf() {
  key "$1"
  openssl req -new -config ca.cnf -key "$1.key" -subj "/CN=$1 test server" -out "$1.csr"
  (cd "$2.db" && SAN="$3" openssl ca -batch -notext -config ../ca.cnf -cert "../$2.pem" -keyfile "../$2.key" \
    -extensions v3_leaf -startdate "$4" -enddate "$5" -in "../$1.csr" -out "../$1.pem" 2>/dev/null)
}

san="IP:$address, DNS:$name"
new_ca ca "Kestrun test CA"
new_ca other-ca "Kestrun other test CA"
leaf good ca "$san" 20240101000000Z 20450101000000Z
leaf wrongname ca "DNS:wrong.kestrun.invalid, IP:192.0.2.1" 20240101000000Z 20450101000000Z
leaf expired ca "$san" 20200101000000Z 20201231000000Z
leaf unknown-ca other-ca "$san" 20240101000000Z 20450101000000Z

chmod 644 ./*.pem
for f in "${files[@]}"; do mv -f "$f" "$dir/$f"; done
echo "$stamp" >"$dir/.stamp"
