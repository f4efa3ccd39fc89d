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

# Client certificates: one the test CA signed, as PEM (certificate and key
# in one file) and as PKCS#12 with a password and without; a CA no server
# trusts; and the bad files a script might name.
# Wine's PKCS#12 import mangles a key whose private exponent is a byte short
# of the modulus (about one key in ten; Windows takes it): such a key is made
# again, or the Wine tests would fail at random.
exponent_bytes() {  # KEY
  openssl rsa -in "$1" -noout -text 2>/dev/null | sed -n '/^privateExponent:/,/^prime1:/p' | sed '1d;$d' |
    tr -d ' \n:' | sed 's/^00//' | awk '{ print length($0) / 2 }'
}
client() {  # NAME SUBJECT
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    req -keyout "$1.key" -out "$1.csr" -subj "$2"
    [ "$(exponent_bytes "$1.key")" = 256 ] && break
  done
  printf 'extendedKeyUsage=clientAuth\n' >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile "$1.ext" -out "$1.crt" 2>/dev/null
  cat "$1.crt" "$1.key" >"$1.pem"
}
client client "/CN=quorvane test bot"
# 3DES and a SHA-1 MAC: what every Windows reads, not only the newest.
openssl pkcs12 -export -in client.crt -inkey client.key -passout pass:s3cret -out client.p12 \
  -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
openssl pkcs12 -export -in client.crt -inkey client.key -passout pass: -out client-nopass.p12 \
  -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
openssl x509 -in client.crt -outform der -out client.der
req -x509 -days 2 -subj "/CN=another CA" -keyout otherca.key -out otherca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
cp client.crt nokey.pem
openssl pkcs12 -export -nokeys -in client.crt -passout pass: -out nokey.p12 -certpbe PBE-SHA1-3DES -macalg sha1
cat client.crt self.key >wrongkey.pem
# A key OpenSSL's default security level will not present; PKCS#12 files
# that ask for more rounds than anyone writes, in their MAC or their key.
openssl req -x509 -nodes -newkey rsa:1024 -days 2 -subj "/CN=weak bot" -keyout weak.key -out weak.crt 2>/dev/null
cat weak.crt weak.key >weak.pem
openssl pkcs12 -export -in client.crt -inkey client.key -passout pass:s3cret -out slowmac.p12 -iter 700000 \
  -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
openssl pkcs12 -export -in client.crt -inkey client.key -passout pass:s3cret -out slowkey.p12 -iter 700000 -nomaciter \
  -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1
openssl pkcs8 -topk8 -in client.key -v2 aes-256-cbc -iter 700000 -passout pass:s3cret -out slowkey.key
cat client.crt slowkey.key >slowkey.pem
# Expired: `openssl ca` is the one command that takes dates in the past.
printf '[ca]\ndefault_ca=t\n[t]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' >ca.cnf
: >index.txt
echo 1000 >serial
req -keyout expired.key -out expired.csr -subj "/CN=expired bot"
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.crt -notext \
  -startdate 20200101000000Z -enddate 20200102000000Z 2>/dev/null
cat expired.crt expired.key >expired.pem
mkdir -p adir
