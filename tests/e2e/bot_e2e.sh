#!/bin/bash
# examples/bot.lua against a real ngircd: it joins, answers !ping, and
# after the server goes away and comes back (now without a MOTD, so 422
# ends registration, and wanting no password) it reconnects by itself
# within seconds, taking another nick if its own was taken meanwhile, and
# answers again.
# Usage: bot_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() { echo "FAIL: $*"; for f in "$work"/bot.out "$work"/bot.trace "$work"/ngircd*.log "$work"/ii*/127.0.0.1/out "$work"/ii*/127.0.0.1/#bots/out; do echo "---- $f"; cat "$f"; done; exit 1; }

qv_start_ircd "$work" || exit 1
qv_start_ii "$work/ii1" peer || exit 1
qv_ii_join "$work/ii1" "#bots" || exit 1
chan1="$work/ii1/127.0.0.1/#bots"

# A short ping timeout, so a hung server is noticed within the test.
QV_BOT_PING_TIMEOUT=4 QUORVANE_TRACE=$work/bot.trace \
  "$HOST" --module "$MODULE" "$BOT" --utf8 127.0.0.1 "$QV_PORT" botty "#bots" >"$work/bot.out" 2>&1 &
bot=$!
QV_PIDS+=("$bot")

qv_wait_for "$chan1/out" "botty(~quorvane@127.0.0.1) has joined #bots" 200 || fail "bot did not join"
echo '!ping' >"$chan1/in"
qv_wait_for "$chan1/out" "<botty> pong" 200 || fail "no pong"

# The server hangs with the link up (its machine stalls, a NAT forgets the
# flow): the module's probe meets silence and the link is given up; once
# the server runs again the bot is back in its channel.
kill -STOP "$QV_IRCD_PID"
qv_wait_for "$work/bot.out" "link lost (Ping timeout: nothing from the server for 4 s)" 100 || fail "no ping timeout"
kill -CONT "$QV_IRCD_PID"
for _ in $(seq 300); do
  [ "$(grep -c "(~quorvane@127.0.0.1) has joined #bots" "$chan1/out")" -ge 2 ] && break
  sleep 0.1
done
[ "$(grep -c "(~quorvane@127.0.0.1) has joined #bots" "$chan1/out")" -ge 2 ] || fail "bot did not rejoin after the hang"

# The server dies without a word (ii goes with it) and comes back on the
# same port without a MOTD; someone else wants the bot's nick now, and
# whoever registers first gets it.
kill -KILL "$QV_IRCD_PID"
for _ in $(seq 100); do kill -0 "$QV_IRCD_PID" 2>/dev/null || break; sleep 0.1; done
# It comes back as Debian installs it, wanting no password: the module's
# fixed PASS is refused, and the bot is let in without one.
sed -i -e '/^MotdPhrase/d' -e '/^Password/d' -e "s|^\[Global\]|[Global]\nMotdFile = $work/no-motd|" "$work/ngircd.conf"
QV_PASSWORD=
port=$QV_PORT
for _ in $(seq 100); do
  ngircd --nodaemon -f "$work/ngircd.conf" >"$work/ngircd2.log" 2>&1 &
  QV_IRCD_PID=$!
  QV_PIDS+=("$QV_IRCD_PID")
  for _ in $(seq 30); do qv_port_open "$port" && break 2; sleep 0.1; done
  kill -KILL "$QV_IRCD_PID" 2>/dev/null; sleep 0.2  # port still held by the old one
done
qv_port_open "$port" || fail "ngircd did not come back"
back=$(date +%s%N)
qv_start_ii "$work/ii2" botty || exit 1
qv_ii_join "$work/ii2" "#bots" || exit 1
chan2="$work/ii2/127.0.0.1/#bots"

qv_wait_for "$chan2/out" "(~quorvane@127.0.0.1) has joined #bots" 100 || fail "bot did not come back"
took=$(( ($(date +%s%N) - back) / 1000000 ))
# ngircd holds a link that gave a bad password back a few seconds more.
[ "$took" -le 15000 ] || fail "bot took $took ms to come back"
nick=$(sed -n 's/.* -!- \(botty_*\)(~quorvane@127.0.0.1) has joined #bots/\1/p' "$chan2/out" | tail -n 1)
echo "bot back in the channel as $nick, $took ms after the server"
grep -q "the server refused the fixed password: connecting to 127.0.0.1 again without PASS" "$work/bot.out" ||
  fail "no retry without the fixed password"
echo '!ping' >"$chan2/in"
qv_wait_for "$chan2/out" "<$nick> pong" 200 || fail "no pong after reconnecting"

kill -TERM "$bot"
status=0
for _ in $(seq 100); do kill -0 "$bot" 2>/dev/null || break; sleep 0.1; done
wait "$bot" || status=$?
[ "$status" = 0 ] || fail "bot exit status $status after SIGTERM"
# Stopped, it had its chance to leave with its own QUIT.
# (ii puts quits in the server's file; ngircd quotes the reason itself.)
qv_wait_for "$work/ii2/127.0.0.1/out" "$nick(~quorvane@127.0.0.1) has quit" 50 || fail "the bot did not quit"
grep -q "$nick(~quorvane@127.0.0.1) has quit .*Leaving" "$work/ii2/127.0.0.1/out" || fail "no QUIT of the bot's own when stopped"
grep -q "link lost (Connection closed by the server)" "$work/bot.out" || fail "bot did not hear of the lost link"
echo "bot e2e ok"
