#!/bin/bash
# examples/bot.lua over TLS to a real ngircd, its certificate checked
# against a CA made for the run; a plain-TCP ii client in the channel talks
# to it.
# Usage: tls_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() { echo "FAIL: $*"; for f in "$work"/bot.out "$work"/ngircd.log "$work"/ii/127.0.0.1/#tls/out; do echo "---- $f"; cat "$f"; done; exit 1; }

bash "$here/../tls/make_certs.sh" "$work/certs" || fail "no certificates"
QV_TLS_CERT=$work/certs/server.pem QV_TLS_KEY=$work/certs/server.key qv_start_ircd "$work" || exit 1
qv_start_ii "$work/ii" peer || exit 1
qv_ii_join "$work/ii" "#tls" || exit 1
chan="$work/ii/127.0.0.1/#tls"

SSL_CERT_FILE=$work/certs/ca.pem \
  "$HOST" --module "$MODULE" "$BOT" --sts-file "$work/sts" 127.0.0.1 "$QV_TLS_PORT" tlsbot "#tls" tls >"$work/bot.out" 2>&1 &
QV_PIDS+=("$!")

qv_wait_for "$chan/out" "tlsbot(~quorvane@127.0.0.1) has joined #tls" 200 || fail "bot did not join over TLS"
echo '!ping' >"$chan/in"
qv_wait_for "$chan/out" "<tlsbot> pong" 200 || fail "no pong over TLS"
grep -q "(TLS)" "$work/bot.out" || fail "bot did not say it used TLS"
[ "$(head -n 1 "$work/sts")" = "quorvane-sts 1" ] || fail "the bot's --sts-file was not made"
# A policy file that cannot be kept is a mistake in the arguments.
timeout 30 "$HOST" --module "$MODULE" "$BOT" --sts-file "$work/none/sts" 127.0.0.1 1 >"$work/refused.out" 2>&1
status=$?
[ "$status" = 2 ] || fail "bot exit status $status for an STS file it cannot write"
grep -q "STS file: cannot be written" "$work/refused.out" || fail "no reason for the refused STS file: $(cat "$work/refused.out")"
echo "tls e2e ok"
