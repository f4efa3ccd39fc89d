#!/bin/bash
# The certificate benchmark (scripts/bench certs): how long irc.SetClientCert
# holds the host's thread for files the round limit just lets through, every
# round of the costliest kind read (PBES2 over each HMAC, PKCS#12's 3DES, a
# MAC over SHA-512 or SHA-1, no MAC), and for files as large as the reader
# takes; against an ordinary file (OpenSSL's 2048 rounds), and next to files
# just over the limit, which are refused before any round is spent.
#   run.sh BUILD_DIR [ROUNDS]
set -eu
build=$1
rounds=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$here/../../tests/tls/make_certs.sh" "$work" >/dev/null
"$build/qv_bench_cert_files" "$work/client.crt" "$work/client.key" "$work/ca.pem" "$work" >"$work/list"
files=("$work/client.p12")
while read -r name; do files+=("$work/$name"); done <"$work/list"
files+=("$work/slowsum.p12" "$work/hugekey.p12")
"$build/quorvane-host" --module "$build/quorvane.so" "$here/load.lua" "$rounds" s3cret "${files[@]}"
