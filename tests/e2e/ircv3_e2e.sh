#!/bin/bash
# IRCv3 against real peers on loopback: inspircd with its IRCv3 modules
# (server-time, account-tag, cap-notify, message-tags, STS on a TLS port)
# linked to atheme, a weechat-headless user (alice) logged in to her
# account by SASL, and znc in front of inspircd; examples/bot.lua meets
# them. Bot 0, without the test's CA, is sent to TLS by the server's STS
# list, fails there and never registers over plain TCP. Bot 1 (--admin
# alice) connects to the plain port and is moved to TLS the same way; it
# hears alice's message with her account and inspircd's time, refuses a
# !quit whose account is a client's forged tag, comes back after a KILL
# straight over TLS by the policy it learnt, and obeys alice's !quit. Bot 2 attaches through znc: the buffer's
# replayed !ping runs nothing, a live one does. The servers' raw I/O log
# shows what each link carried.
# Usage: ircv3_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
# Files of the run are private (a password is in weechat's and znc's).
umask 077
client() { timeout 40 python3 "$here/ircv3_client.py" "$@"; }
# The server's raw log: the links of one nick (ids in the order they came),
# and one link's lines, "I ..." from the client, "O ..." to it.
links() { grep -a "USERINPUT: C\[[^]]*\] I NICK $1\$" "$work/rawio.log" 2>/dev/null | sed 's/.*C\[\([^]]*\)\].*/\1/' | awk '!seen[$0]++'; }
link_log() { grep -a "C\[$1\]" "$work/rawio.log" | sed 's/^.*\(USERINPUT\|USEROUTPUT\): C\[[^]]*\] //'; }
client_log() {
  local id
  for id in $(links "$1"); do link_log "$id"; done
}
# heard NAME PATTERN: $work/NAME.out (a bot's console) holds PATTERN.
heard() { grep -qE -- "$2" "$work/$1.out"; }
on_wire() { client_log "$1" | grep -qE -- "$2"; }
# until_ok TRIES COMMAND...: COMMAND succeeds within TRIES tenths of a second.
until_ok() {
  local tries=$1 i
  shift
  for i in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  "$@"
}
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/inspircd.log "$work"/atheme.log "$work"/weechat/logs/*.weechatlog; do
    echo "---- $f"; cat "$f"
  done
  for nick in qvbot zqv; do
    echo "---- the wire of $nick (I: to inspircd, O: from it)"; client_log "$nick"
  done
  echo "---- what bot 2 received from znc"; grep -a "^\[PROCESS LINE CALL\]" "$work/bot2.trace" 2>/dev/null
  exit 1
}
for tool in inspircd atheme-services weechat-headless znc; do
  command -v "$tool" >/dev/null || fail "$tool missing (scripts/ensure-packages)"
done

ACCOUNT=alice
PASSWORD="Alice-$RANDOM-pw"
LINKPW="link-$RANDOM"
OPERPW="oper-$RANDOM"
ZNCPW="znc-$RANDOM"
CHANNEL="#v3"
# The name clients use: inspircd advertises the policy's duration only to a
# TLS client whose SNI matches <sts host>, and no SNI goes with an address.
NAME=localhost

# A CA of the run's own and the server's certificate from it, for $NAME
# and 127.0.0.1 (EC keys: quick to make).
mkdir -p "$work/certs"
(
  cd "$work/certs" &&
  req() { openssl req -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -sha256 "$@" 2>/dev/null; } &&
  req -x509 -days 2 -subj "/CN=quorvane ircv3 test CA" -keyout ca.key -out ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" &&
  req -keyout server.key -out server.csr -subj "/CN=$NAME" &&
  printf 'subjectAltName=DNS:%s,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' "$NAME" >server.ext &&
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
    -extfile server.ext -out server.pem 2>/dev/null
) || fail "no certificates"
export SSL_CERT_FILE=$work/certs/ca.pem

# $port: clients (plain); $link: services; $tls: clients (TLS); $zport: znc.
write_configs() {
link=$((port + 1)) tls=$((port + 2)) zport=$((port + 3))
cat >"$work/inspircd.conf" <<CONF
$(qv_inspircd_client_conf)
$(qv_inspircd_tls_conf "$work/certs/server.pem" "$work/certs/server.key")
<module name="cap">
<module name="ircv3">
<module name="ircv3_capnotify">
<module name="ircv3_servertime">
<module name="ircv3_accounttag">
<module name="ircv3_ctctags">
<module name="ircv3_sts">
<sts host="$NAME" port="$tls" duration="600">
$(qv_inspircd_services_conf)
<class name="Kill" commands="KILL">
<type name="Tester" classes="Kill">
<oper name="qvoper" password="$OPERPW" host="*@127.0.0.1" type="Tester">
CONF

mkdir -p "$work/atheme"
qv_atheme_conf "$work/atheme.conf" "$link" "$LINKPW"
}

qv_start_inspircd 4 write_configs || fail "no inspircd"
# znc, attached to inspircd's plain port and in the channel; it takes a few
# seconds to start, so it starts first.
qv_start_znc "$port" "$zport" "$ZNCPW" "$CHANNEL"

qv_start_atheme || fail "no services"

# What inspircd offers: the TLS port to a plain client, the policy's
# duration to a TLS client that named the server; sasl once atheme is there.
client caps "$port" >"$work/caps-plain.out" || fail "no CAP LS on the plain port"
client caps "$tls" "$NAME" >"$work/caps-tls.out" || fail "no CAP LS over TLS (certificate, or SNI $NAME)"
for cap in server-time account-tag cap-notify message-tags sasl=PLAIN "sts=port=$tls"; do
  grep -qE "[: ]$cap( |\$)" "$work/caps-plain.out" || fail "inspircd does not offer $cap on its plain port"
done
grep -qE "[: ]sts=duration=600( |\$)" "$work/caps-tls.out" || fail "inspircd gives no STS duration over TLS"

# Lines whose server-time the checks read, for every registered client.
ISO='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'

client register "$port" "$ACCOUNT" "$PASSWORD" >"$work/register.out" 2>&1 || fail "could not register $ACCOUNT"

# weechat, logged in by SASL, in the channel; told what to say through its fifo.
weechat-headless -d "$work/weechat" -P irc,fifo,logger --stdout -r "\
/set logger.file.flush_delay 0;\
/set irc.server_default.anti_flood_prio_high 0;\
/set fifo.file.path $work/weechat/fifo;\
/set irc.server_default.sasl_fail disconnect;\
/server add v3 127.0.0.1/$port -notls -nicks=$ACCOUNT -username=$ACCOUNT -sasl_mechanism=plain \
-sasl_username=$ACCOUNT -sasl_password=$PASSWORD -autojoin=$CHANNEL;\
/connect v3" >"$work/weechat.out" 2>&1 &
QV_PIDS+=("$!")
weechat_says() {
  timeout 5 sh -c 'printf "irc.server.v3 */msg %s %s\n" "$1" "$2" >"$3"' - "$CHANNEL" "$1" "$work/weechat/fifo" ||
    fail "weechat took nothing from its fifo"
}
qv_wait_for "$work/weechat/logs/irc.v3.$CHANNEL.weechatlog" "has joined $CHANNEL" 100 || fail "weechat did not join"
grep -qF "SASL authentication successful" "$work/weechat/logs/irc.server.v3.weechatlog" || fail "weechat did not log in by SASL"
for _ in $(seq 100); do client_log zqv | grep -q "^I JOIN $CHANNEL" && break; sleep 0.1; done
client_log zqv | grep -q "^I JOIN $CHANNEL" || fail "znc did not join $CHANNEL"


# Alice's command, said while no bot is about: znc keeps it for whoever
# attaches next, with the time inspircd gave it.
weechat_says "!ping replayed-ping"
until_ok 50 on_wire zqv "^O @time=$ISO :$ACCOUNT![^ ]* PRIVMSG $CHANNEL :!ping replayed-ping\$" ||
  fail "znc did not hear alice's !ping with a time"
replayed_at=$(client_log zqv | grep -E "PRIVMSG $CHANNEL :!ping replayed-ping\$" | sed 's/^O @time=\([^ ;]*\).*/\1/')

# Bot 0 does not trust the server's certificate: the move to TLS fails, in
# words that say TLS was required, and it never registers over plain TCP,
# however often it tries.
env -u SSL_CERT_FILE "$HOST" --module "$MODULE" "$BOT" "$NAME" "$port" qvbot0 "$CHANNEL" >"$work/bot0.out" 2>&1 &
bot0=$!
QV_PIDS+=("$bot0")
until_ok 100 heard bot0 "link lost \(Connect failed: .*certificate.* \(the server requires TLS\)\)" ||
  fail "bot 0 did not fail to connect over TLS, for the certificate"
# Killed outright: a bot that stops by itself closes a link it has just
# begun with a QUIT, which is no fall-back.
kill -KILL "$bot0"
wait "$bot0" 2>/dev/null
[ -n "$(links qvbot0)" ] || fail "bot 0 left no trace in the server's log"
for id in $(links qvbot0); do
  sent=$(link_log "$id" | sed -n 's/^I //p' | tr '\n' '|')
  [ "$sent" = "CAP LS 302|PASS $QV_PASSWORD|NICK qvbot0|USER quorvane quorvane quorvane :quorvane example bot|" ] ||
    fail "a plain link of bot 0 carried more than the registration's first lines: $sent"
done
grep -q "CONNECT: .*: qvbot0!" "$work/inspircd.log" && fail "inspircd registered bot 0"

# Bot 1 connects to the plain port, by the name the policy is for; the
# server's list sends it to the TLS port, where it registers. The plain
# link carries the registration's first lines and nothing else.
SSL_CERT_FILE=$work/certs/ca.pem QUORVANE_TRACE=$work/bot1.trace \
  "$HOST" --module "$MODULE" "$BOT" --admin "$ACCOUNT" "$NAME" "$port" qvbot "$CHANNEL" >"$work/bot1.out" 2>&1 &
bot1=$!
QV_PIDS+=("$bot1")
until_ok 100 on_wire qvbot "^O .* 366 qvbot $CHANNEL " || fail "bot 1 did not join $CHANNEL"
heard bot1 "^\[quorvane\] the server requires TLS \(STS\): reconnecting to $NAME on port $tls\$" ||
  fail "bot 1 did not say it moves to TLS"
# Bot 1's links, in order, told apart by what the server listed: the TLS
# port on the plain one, the policy's duration on a TLS one.
sort_links() {
  local id
  plain=() secure=()
  for id in $(links qvbot); do
    if link_log "$id" | grep -qE "^O .* CAP \* LS :.*sts=port=$tls( |\$)"; then plain+=("$id"); else secure+=("$id"); fi
  done
}
sort_links
[ "${#plain[@]}" = 1 ] && [ "${#secure[@]}" = 1 ] || fail "bot 1 made ${#plain[@]} plain and ${#secure[@]} TLS links, not one of each"
sent=$(link_log "${plain[0]}" | sed -n 's/^I //p' | tr '\n' '|')
[ "$sent" = "CAP LS 302|PASS $QV_PASSWORD|NICK qvbot|USER quorvane quorvane quorvane :quorvane example bot|" ] ||
  fail "the plain link carried more than the registration's first lines: $sent"
link_log "${secure[0]}" | grep -qE "^O .* CAP \* LS :.*sts=duration=600( |\$)" || fail "no STS duration on bot 1's TLS link"
grep -qE "CONNECT: Client connecting on port $tls \(class main\): qvbot!" "$work/inspircd.log" ||
  fail "inspircd did not register bot 1 on its TLS port"

# Alice's message reaches the bot with her account and the time inspircd
# stamped on it.
weechat_says "hello from weechat"
until_ok 50 heard bot1 "chat $ACCOUNT account=$ACCOUNT time=$ISO $CHANNEL: hello from weechat\$" ||
  fail "alice's message did not reach bot 1 with her account and a time"
stamp=$(grep -E "chat $ACCOUNT account=.* hello from weechat\$" "$work/bot1.out" | grep -oE "time=$ISO")
link_log "${secure[0]}" | grep -E "^O @[^ ]* :$ACCOUNT![^ ]* PRIVMSG $CHANNEL :hello from weechat\$" |
  grep -E "^O @([^ ]*;)?$stamp[; ]" | grep -qE "^O @([^ ]*;)?account=$ACCOUNT[; ]" ||
  fail "bot 1 printed $stamp, not the time and account inspircd sent it"

# Mallory is logged in to no account and forges alice's as a client tag:
# the server passes it on, the bot takes no account from it.
client say "$port" mallory "$CHANNEL" "+account=$ACCOUNT" '!quit' >"$work/mallory.out" 2>&1 || fail "mallory could not speak"
until_ok 50 heard bot1 "!quit from mallory refused: not the admin account\$" || fail "bot 1 did not refuse mallory's !quit"
heard bot1 "chat mallory account=- time=$ISO $CHANNEL: !quit\$" || fail "bot 1 gave mallory an account"
link_log "${secure[0]}" | grep -qE "^O @([^ ]*;)?\+account=$ACCOUNT[; ].*:mallory![^ ]* PRIVMSG $CHANNEL :!quit\$" ||
  fail "inspircd did not pass mallory's +account on: the refusal proves nothing"
kill -0 "$bot1" 2>/dev/null || fail "bot 1 ended after mallory's !quit"

# An operator kills bot 1 (with a reason that quotes a refused login's
# words: no refusal); it reconnects to the plain port's name, and the
# policy it learnt over TLS sends it straight to the TLS port.
client kill "$port" qvoper "$OPERPW" qvbot >"$work/kill.out" 2>&1 || fail "the operator could not kill bot 1"
until_ok 50 heard bot1 "link lost \(Connection closed by the server: .*Killed.*SASL login failed: not really" ||
  fail "bot 1 did not hear of the kill"
until_ok 100 eval '[ "$(client_log qvbot | grep -cE "^O .* 366 qvbot $CHANNEL ")" = 2 ]' || fail "bot 1 did not rejoin after the kill"
heard bot1 "^\[quorvane\] the server requires TLS \(STS\), as it said before: connecting to $NAME on port $tls\$" ||
  fail "bot 1 did not say the policy sends it to TLS"
sort_links
[ "${#plain[@]}" = 1 ] && [ "${#secure[@]}" = 2 ] || fail "after the kill bot 1 made ${#plain[@]} plain and ${#secure[@]} TLS links, not 1 and 2"
[ "$(grep -cE "CONNECT: Client connecting on port $tls \(class main\): qvbot!" "$work/inspircd.log")" = 2 ] ||
  fail "inspircd did not register bot 1 twice on its TLS port"
grep -qE "CONNECT: Client connecting on port $port \(class main\): qvbot!" "$work/inspircd.log" &&
  fail "bot 1 registered on the plain port"

# Bot 2 attaches through znc, as zbot: znc gives it the network's nick,
# zqv, right after its welcome. It hears the buffer: alice's !ping, with
# inspircd's time, is older than its link, so it runs nothing.
QUORVANE_PASSWORD="qv/test:$ZNCPW" QUORVANE_TRACE=$work/bot2.trace \
  "$HOST" --module "$MODULE" "$BOT" --password 127.0.0.1 "$zport" zbot "$CHANNEL" >"$work/bot2.out" 2>&1 &
bot2=$!
QV_PIDS+=("$bot2")
until_ok 100 heard bot2 "replayed, not run: !ping replayed-ping\$" || fail "bot 2 did not take alice's !ping for a replay"
heard bot2 "registered as zqv, joining $CHANNEL\$" || fail "bot 2 did not report the nick znc gave it"
heard bot2 "chat $ACCOUNT account=[^ ]* time=$replayed_at $CHANNEL: !ping replayed-ping\$" ||
  fail "znc's replay reached bot 2 without inspircd's time $replayed_at"
# A live !ping runs: its pong is the only one znc passes on from bot 2
# (a pong for the replay would have gone first).
weechat_says "!ping live"
until_ok 50 on_wire zqv "^I PRIVMSG $CHANNEL :pong\$" || fail "bot 2 did not answer a live !ping"
[ "$(client_log zqv | grep -c "^I PRIVMSG $CHANNEL :pong\$")" = 1 ] || fail "bot 2 answered the replayed !ping"

# Alice's own !quit ends bot 1, with status 0; bot 2 has no admin and
# refuses it.
weechat_says "!quit"
until_ok 100 eval '! kill -0 "$bot1" 2>/dev/null' || fail "bot 1 did not stop on alice's !quit"
status=0
wait "$bot1" || status=$?
[ "$status" = 0 ] || fail "bot 1 stopped with status $status on alice's !quit"
heard bot1 "!quit from $ACCOUNT \(account $ACCOUNT\): leaving\$" || fail "bot 1 did not say whose !quit it obeyed"
until_ok 50 on_wire qvbot "^I QUIT" || fail "bot 1 left without a QUIT"
until_ok 50 heard bot2 "!quit from $ACCOUNT refused: not the admin account\$" || fail "bot 2 did not refuse alice's !quit"
echo "ircv3 e2e ok"
