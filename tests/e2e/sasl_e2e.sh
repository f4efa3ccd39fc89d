#!/bin/bash
# examples/bot.lua --sasl against a real inspircd linked to atheme services:
# an account registered through NickServ by a raw client, a login with its
# password (the server confirms it with 900, and the bot joins), a wrong
# password (refused: IRC_Disconnected "SASL login failed: PLAIN refused by
# the server: ...", the bot stops, and never joins), services that do not
# answer (the login runs out of time: the bot comes back), and over TLS a login by client certificate
# (--cert, --sasl-external: the server asks for a certificate, services
# know its fingerprint from CERT ADD, no password anywhere). The server's raw I/O log gives the wire of
# the good login, printed with the AUTHENTICATE payload masked (and kept in
# $QV_SASL_TRANSCRIPT when that is set).
# Usage: sasl_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() {
  echo "FAIL: $*"
  for f in "$work"/bot*.out "$work"/inspircd.out "$work"/inspircd.log "$work"/atheme.log "$work"/register.out; do echo "---- $f"; cat "$f"; done
  exit 1
}
command -v inspircd >/dev/null && command -v atheme-services >/dev/null || fail "inspircd or atheme-services missing (scripts/ensure-packages)"

ACCOUNT=qvacct
PASSWORD="Corr3ct-Horse-$RANDOM"
LINKPW="link-$RANDOM"

# The servers' configuration for the ports $port (clients) and $link (the
# services link).
write_configs() {
link=$((port + 1)) tls=$((port + 2))
cat >"$work/inspircd.conf" <<CONF
$(qv_inspircd_client_conf)
$(qv_inspircd_tls_conf "$work/server.pem" "$work/server.key" 'requestclientcert="yes"')
<module name="sslinfo">
<module name="cap">
$(qv_inspircd_services_conf)
CONF

mkdir -p "$work/atheme"
qv_atheme_conf "$work/atheme.conf" "$link" "$LINKPW" saslserv/external nickserv/cert
}

# The server's certificate, and the bot's: one file with its key, as the
# README tells users to make it; its fingerprint is what services list.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=irc.quorvane.test \
  -keyout "$work/server.key" -out "$work/server.pem" 2>/dev/null || fail "could not make the server's certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qvbot \
  -keyout "$work/bot.pem" -out "$work/bot.pem" 2>/dev/null || fail "could not make the bot's certificate"
FINGERPRINT=$(openssl x509 -in "$work/bot.pem" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr A-F a-f)

qv_start_inspircd 3 write_configs || fail "no inspircd"
qv_start_atheme || fail "no services"
atheme=$QV_ATHEME_PID

# The account, registered as any user would, with the certificate's
# fingerprint added.
qv_register_account "$port" "$ACCOUNT" "$PASSWORD" "$FINGERPRINT" >"$work/register.out" 2>&1 || fail "could not register the account"

# $1: nick, $2: password; the bot's output and trace go to $work/bot-$1.*
run_bot() {
  QUORVANE_SASL_PASSWORD=$2 QUORVANE_TRACE=$work/bot-$1.trace \
    "$HOST" --module "$MODULE" "$BOT" --sasl "$ACCOUNT" 127.0.0.1 "$port" "$1" "#sasl" >"$work/bot-$1.out" 2>&1 &
  bot=$!
  QV_PIDS+=("$bot")
}
# The server's raw log of one client, by nick: its connection's lines.
client_log() {
  local id
  id=$(grep -a "USERINPUT: C\[[^]]*\] I NICK $1\$" "$work/rawio.log" | head -n 1 | sed 's/.*C\[\([^]]*\)\].*/\1/')
  [ -n "$id" ] && grep -a "C\[$id\]" "$work/rawio.log" | sed 's/^.*\(USERINPUT\|USEROUTPUT\): C\[[^]]*\] //'
}
no_secrets() {
  local b64
  b64=$(printf '%s\0%s\0%s' "$ACCOUNT" "$ACCOUNT" "$2" | base64 -w0)
  ! grep -aqF -e "$2" -e "$b64" "$work/bot-$1.out" "$work/bot-$1.trace"
}

# A good login: the server says 900 to the bot, which then joins.
run_bot sbot "$PASSWORD"
qv_wait_for "$work/bot-sbot.out" "registered as sbot, joining #sasl" 600 || fail "the bot did not register"
for _ in $(seq 300); do client_log sbot | grep -q "^I JOIN #sasl" && break; sleep 0.1; done
client_log sbot | grep -q "^O :irc.quorvane.test 900 sbot .* $ACCOUNT :You are now logged in as $ACCOUNT" || fail "no 900 for the bot"
client_log sbot | grep -q "^I JOIN #sasl" || fail "the bot did not join"
kill -TERM "$bot"
for _ in $(seq 50); do kill -0 "$bot" 2>/dev/null || break; sleep 0.1; done
no_secrets sbot "$PASSWORD" || fail "the password or its base64 reached the bot's output or trace"
grep -qF "[quorvane] !! SASL over an unencrypted link" "$work/bot-sbot.out" || fail "no warning about plain TCP"
transcript=$(client_log sbot | grep -av " 37[25] " | sed -n '1,/ 001 /p' | sed -e 's/^I AUTHENTICATE [^+P].*/I AUTHENTICATE ****/' -e 's/^I PASS .*/I PASS ****/')
echo "$transcript" | grep -qF "$PASSWORD" && fail "masking the transcript failed"
echo "---- wire of the login (I: from the bot, O: from the server)"
echo "$transcript"
[ -n "${QV_SASL_TRANSCRIPT:-}" ] && echo "$transcript" >"$QV_SASL_TRANSCRIPT"

# Services that do not answer (stopped): the login runs out of time, a loss
# like any other, not a refusal; the bot tries again and, once services are
# back, logs in.
kill -STOP "$atheme"
run_bot tbot "$PASSWORD"
qv_wait_for "$work/bot-tbot.out" "link lost (SASL login failed: the server did not finish the login within 10 s); reconnecting" 200 ||
  { kill -CONT "$atheme"; fail "no loss for a login that ran out of time"; }
kill -CONT "$atheme"
qv_wait_for "$work/bot-tbot.out" "registered as tbot, joining #sasl" 600 || fail "the bot did not come back after its login ran out of time"
kill -TERM "$bot"

# A wrong password: refused, reported, no JOIN; the bot stops, exit status 1.
run_bot wbot "wrong-$PASSWORD"
qv_wait_for "$work/bot-wbot.out" "SASL login failed: PLAIN refused by the server: SASL authentication failed; giving up" 600 || fail "no IRC_Disconnected for the refused login"
for _ in $(seq 300); do kill -0 "$bot" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bot" 2>/dev/null && fail "the bot did not stop after a refused login"
status=0
wait "$bot" || status=$?
[ "$status" = 1 ] || fail "the bot did not stop with status 1 after a refused login (status $status)"
# The server writes its raw log in its own time.
for _ in $(seq 300); do client_log wbot | grep -q "^I QUIT" && break; sleep 0.1; done
client_log wbot | grep -q "^O :irc.quorvane.test 904 wbot" || fail "no 904 from the server"
client_log wbot | grep -q "^I QUIT" || fail "the bot did not QUIT"
client_log wbot | grep -q "^I JOIN" && fail "the bot joined without a login"
no_secrets wbot "wrong-$PASSWORD" || fail "the wrong password reached the bot's output or trace"
echo "---- wire of the refused login"
client_log wbot | grep -av " 37[25] " | sed -e 's/^I AUTHENTICATE [^+P].*/I AUTHENTICATE ****/' -e 's/^I PASS .*/I PASS ****/'
# SCRAM-SHA-256 asked of services that do not have it (atheme 7.2): the
# login fails in words naming it, before any password could be sent, and
# the bot stops as for a refusal.
QUORVANE_SASL_PASSWORD=$PASSWORD QUORVANE_TRACE=$work/bot-cbot.trace "$HOST" --module "$MODULE" "$BOT" \
  --sasl "$ACCOUNT" --sasl-mechanism scram-sha-256 127.0.0.1 "$port" cbot "#sasl" >"$work/bot-cbot.out" 2>&1 &
bot=$!
QV_PIDS+=("$bot")
qv_wait_for "$work/bot-cbot.out" "; giving up" 600 || fail "no end to the SCRAM login"
grep -q "SASL login failed: .*SCRAM-SHA-256" "$work/bot-cbot.out" || client_log cbot | grep -q "^I AUTHENTICATE SCRAM-SHA-256" ||
  fail "the SCRAM login's failure does not name it"
status=0
wait "$bot" || status=$?
[ "$status" = 1 ] || fail "the bot did not stop with status 1 after a login without SCRAM (status $status)"
client_log cbot | grep -q "^I JOIN" && fail "the bot joined without a login"
no_secrets cbot "$PASSWORD" || fail "the password reached the bot's output or trace"
echo "---- the SCRAM login, services without it: $(grep -o 'SASL login failed: .*' "$work/bot-cbot.out")"

# A login by certificate over TLS: no password anywhere, the server asks
# for the certificate, services know its fingerprint, the bot joins.
QUORVANE_TRACE=$work/bot-xbot.trace "$HOST" --module "$MODULE" "$BOT" --cert "$work/bot.pem" \
  --sasl-external "$ACCOUNT" 127.0.0.1 "$tls" xbot "#sasl" insecure >"$work/bot-xbot.out" 2>&1 &
bot=$!
QV_PIDS+=("$bot")
qv_wait_for "$work/bot-xbot.out" "registered as xbot, joining #sasl" 600 || fail "the bot did not log in by its certificate"
for _ in $(seq 300); do client_log xbot | grep -q "^I JOIN #sasl" && break; sleep 0.1; done
grep -qF "fingerprint $FINGERPRINT" "$work/bot-xbot.out" || fail "the console did not name the certificate"
client_log xbot | grep -q "^I AUTHENTICATE EXTERNAL" || fail "no AUTHENTICATE EXTERNAL"
client_log xbot | grep -q "^O :irc.quorvane.test 900 xbot .* $ACCOUNT :You are now logged in as $ACCOUNT" || fail "no 900 for the login by certificate"
client_log xbot | grep -q "^I JOIN #sasl" || fail "the bot did not join after its login by certificate"
kill -TERM "$bot"
echo "---- wire of the login by certificate"
client_log xbot | grep -av " 37[25] " | sed -n '1,/ 001 /p'
echo "sasl e2e ok"
