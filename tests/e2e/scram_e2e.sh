#!/bin/bash
# examples/bot.lua --sasl --sasl-mechanism SCRAM-SHA-256 against a server
# that prepares passwords (SASLprep) as RFC 5802 asks, Perl's Authen::SCRAM
# (scram_server.pl): the account was registered with "pass wörd" (a space,
# a precomposed ö); the bot's password has a no-break space and an o with
# its accent apart, which SASLprep makes the same: the login goes and the
# bot joins. The same password as the bot's bytes, unprepared, would be
# refused; a wrong one is (the bot stops, status 1).
# Usage: scram_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out; do echo "---- $f"; cat "$f"; done
  exit 1
}
perl -MAuthen::SCRAM::Server -e 1 2>/dev/null || fail "Authen::SCRAM missing (scripts/ensure-packages)"

registered=$'pass w\xc3\xb6rd'
typed=$'pass\xc2\xa0wo\xcc\x88rd'
perl "$here/scram_server.pl" qvacct "$registered" >"$work/server.out" 2>&1 &
QV_PIDS+=("$!")
qv_wait_for "$work/server.out" "PORT " 100 || fail "the SCRAM server did not start"
port=$(awk '/^PORT / { print $2 }' "$work/server.out")

# $1: nick, $2: password
run_bot() {
  QUORVANE_SASL_PASSWORD=$2 QUORVANE_TRACE=$work/bot-$1.trace "$HOST" --module "$MODULE" "$BOT" \
    --sasl qvacct --sasl-mechanism scram-sha-256 127.0.0.1 "$port" "$1" "#scram" >"$work/bot-$1.out" 2>&1 &
  bot=$!
  QV_PIDS+=("$bot")
}

run_bot pbot "$typed"
qv_wait_for "$work/server.out" "JOIN pbot #scram" 300 || fail "the bot did not log in and join with the prepared password"
grep -qx "LOGIN OK pbot" "$work/server.out" || fail "no login for the bot"
kill -TERM "$bot"
wait "$bot" 2>/dev/null
! grep -aqF -e "$typed" "$work/bot-pbot.out" "$work/bot-pbot.trace" || fail "the password reached the bot's output or trace"

run_bot wbot "wrong $typed"
qv_wait_for "$work/bot-wbot.out" "SASL login failed: SCRAM-SHA-256 refused by the server: SASL authentication failed; giving up" 300 ||
  fail "no refusal for a wrong password"
status=0
wait "$bot" || status=$?
[ "$status" = 1 ] || fail "the bot did not stop with status 1 after a refused login (status $status)"
grep -q "^LOGIN REFUSED wbot" "$work/server.out" || fail "the server did not refuse the wrong password"
grep -q "^JOIN wbot" "$work/server.out" && fail "the bot joined without a login"
echo "scram e2e ok"
