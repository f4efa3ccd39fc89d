#!/bin/bash
# Certificates for the TLS tests, made fresh in DIR: a test CA, a server
# certificate it signed for 127.0.0.1, ::1 and localhost, one it signed for
# another name, and a self-signed one.
#   make_certs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
req() { openssl req -nodes -newkey rsa:2048 -sha256 "$@" 2>/dev/null; }

req -x509 -days 2 -subj "/CN=quorvane test CA" -keyout ca.key -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
sign() {  # NAME SUBJECT_ALT_NAMES
  req -keyout "$1.key" -out "$1.csr" -subj "/CN=$1"
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
sign server "IP:127.0.0.1,IP:::1,DNS:localhost"
sign other "DNS:other.example"
req -x509 -days 2 -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" -keyout self.key -out self.pem
