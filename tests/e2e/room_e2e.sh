#!/bin/bash
# The room against inspircd with its IRCv3 modules (account-notify,
# away-notify, extended-join, chghost, setname, multi-prefix,
# userhost-in-names, WHOX) linked to atheme, and znc in front of it: ii
# users join, part, are kicked, change nicks, storm the modes, log in to
# services and out, go away and come back, have their host and name
# changed, and quit. At each stop a client of the test's own reads what
# the server says (NAMES, WHO, WHOIS) and asks the bots for their view:
# qvbot, on the server, and zqv, attached through znc, which renames it
# (twice: znc's nick differs from the one it asks for, and later it
# reattaches while znc holds another), must see the same members with the
# same statuses, user@host, accounts, away texts, real names and topics.
# Usage: room_e2e.sh HOST MODULE ROOM_SCRIPT
set -u
HOST=$1 MODULE=$2 ROOM=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
# A password is in znc's files.
umask 077
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out "$work"/*.server "$work"/inspircd.log "$work"/atheme.log; do echo "---- $f"; cat "$f"; done
  exit 1
}
for tool in inspircd atheme-services znc ii; do
  command -v "$tool" >/dev/null || fail "$tool missing (scripts/ensure-packages)"
done
started=$SECONDS
LINKPW="link-$RANDOM" OPERPW="oper-$RANDOM" ZNCPW="znc-$RANDOM" PASSWORD="Carol-$RANDOM-pw"

# $port: clients; $link: services; $zport: znc.
write_configs() {
  link=$((port + 1)) zport=$((port + 2))
  cat >"$work/inspircd.conf" <<CONF
$(qv_inspircd_client_conf)
<module name="cap">
<module name="ircv3">
<module name="ircv3_accounttag">
<module name="ircv3_chghost">
<module name="namesx">
<module name="uhnames">
<module name="setname">
$(qv_inspircd_services_conf)
<class name="Room" commands="CHGHOST CHGIDENT">
<type name="Tester" classes="Room">
<oper name="qvoper" password="$OPERPW" host="*@127.0.0.1" type="Tester">
CONF
  mkdir -p "$work/atheme"
  qv_atheme_conf "$work/atheme.conf" "$link" "$LINKPW" nickserv/logout
}
qv_start_inspircd 3 write_configs || fail "no inspircd"
qv_start_atheme || fail "no services"
QV_PORT=$port
timeout 40 python3 "$here/ircv3_client.py" register "$port" carol "$PASSWORD" >"$work/register.out" 2>&1 ||
  fail "could not register carol's account"

# alice makes the channels (she holds @ there) and is an operator.
alice=$work/alice bob=$work/bob carol=$work/carol dave=$work/dave
qv_start_ii "$alice" alice || fail "alice did not log in"
qv_ii_do "$alice" "/OPER qvoper $OPERPW"
for chan in "#room" "#side"; do qv_ii_join "$alice" "$chan" || fail "alice did not join $chan"; done
qv_start_ii "$bob" bob || fail "bob did not log in"
for chan in "#room" "#side"; do qv_ii_join "$bob" "$chan" || fail "bob did not join $chan"; done
# bob's account is carol's (services let five share it): the bots' WHOX
# tells them.
qv_ii_do "$bob" "/PRIVMSG NickServ :IDENTIFY carol $PASSWORD"
qv_wait_for "$bob/127.0.0.1/out" "You are now logged in as" 300 || fail "bob did not log in to services"
# znc's user is in #room and in #zonly, where no bot of ours asks to be.
qv_start_znc "$port" "$zport" "$ZNCPW" "#room" "#zonly"
qv_wait_for "$alice/127.0.0.1/#room/out" "-!- zqv(" 300 || fail "znc did not join #room"

# The bots: qvbot joins #room and #side, right after its irc.Connect
# (inspircd registers it only after its own checks: the joins wait for the
# welcome); zbot attaches to znc, which makes it zqv, in the channels znc
# is in.
QV_ROOM_EARLY=1 QUORVANE_TRACE=$work/qvbot.trace "$HOST" --module "$MODULE" "$ROOM" 127.0.0.1 "$port" qvbot qvroom "#room" "#side" >"$work/qvbot.out" 2>&1 &
QV_PIDS+=("$!")
attach() {
  QV_ROOM_PASSWORD="qv/test:$ZNCPW" QUORVANE_TRACE=$work/$1.trace \
    "$HOST" --module "$MODULE" "$ROOM" 127.0.0.1 "$zport" zbot zqv >"$work/$1.out" 2>&1 &
  attached=$!
  QV_PIDS+=("$attached")
}
attach zbot
for bot in qvbot zbot; do
  for chan in "#room" "#side" "#zonly"; do
    [ "$bot/$chan" = "qvbot/#zonly" ] || [ "$bot/$chan" = "zbot/#side" ] && continue
    qv_wait_for "$work/$bot.out" "who-done $chan" 300 || fail "$bot did not learn who is in $chan"
  done
done
ALL="#room #side #zonly"
# check TAG [FIELDS]: both bots see what the server says; zqv only the
# FIELDS given. znc passes no CHGHOST or SETNAME on (it offers neither
# chghost nor setname): after those, zqv is held to the nicks, statuses,
# accounts and away texts.
check() {
  qv_snapshot "$port" "$1" "$ALL" "qvroom zqv" || fail "no snapshot at $1"
  qv_same_room "$1" qvbot qvroom || fail "qvbot at $1"
  qv_same_room "$1" "$zbot" zqv "${2:-1-}" || fail "zqv at $1"
}
zbot=zbot
check joined
grep -q "^event IRC_OnNick zbot zqv" "$work/zbot.out" || fail "znc did not rename zbot to zqv"

# Newcomers: dave logged in to carol's account before he joins (the JOIN
# names it), carol logs in after.
qv_start_ii "$dave" dave || fail "dave did not log in"
qv_ii_do "$dave" "/PRIVMSG NickServ :IDENTIFY carol $PASSWORD"
qv_wait_for "$dave/127.0.0.1/out" "You are now logged in as" 300 || fail "dave did not log in to services"
qv_start_ii "$carol" carol || fail "carol did not log in"
for chan in "#room" "#side"; do qv_ii_join "$carol" "$chan" || fail "carol did not join $chan"; done
qv_ii_join "$dave" "#room" || fail "dave did not join #room"
qv_ii_do "$carol" "/PRIVMSG NickServ :IDENTIFY $PASSWORD"
qv_wait_for "$carol/127.0.0.1/out" "You are now logged in as" 300 || fail "carol did not log in to services"
# bob's nick changes: [bob] and {BOB} are one nick under rfc1459.
qv_ii_do "$bob" "/NICK [bob]"
qv_ii_do "$bob" "/NICK {BOB}"
qv_ii_do "$bob" "/AWAY :gone fishing"
qv_ii_do "$carol" "/SETNAME :Carol Newname"
qv_ii_sync "$bob" sync1-bob || fail "bob"
qv_ii_sync "$carol" sync1-carol || fail "carol"
# Mode storms from alice, statuses among other modes and their parameters.
modes=$(sed -n 's/^rules .* MODES=\([0-9]*\).*/\1/p' "$work/qvbot.out")
[ -n "$modes" ] || fail "qvbot did not print the server's MODES"
qv_ii_do "$alice" "/MODE #room +vv carol dave"
qv_ii_do "$alice" "/MODE #room +ooo-v {BOB} carol dave carol"
qv_ii_do "$alice" "/MODE #room $(qv_storm + "$modes" "o v" "{BOB}" carol dave zqv qvbot)"
qv_ii_do "$alice" "/MODE #room +lkb-o+v 42 sekrit *!*@bad.example carol dave"
qv_ii_do "$alice" "/MODE #room -k+ob-l+v sekrit alice *!*@worse.example zqv"
qv_ii_do "$alice" "/CHGHOST carol carol.example.test"
qv_ii_do "$alice" "/CHGHOST qvbot bot.example.test"
qv_ii_do "$alice" "/CHGIDENT dave dident"
qv_ii_do "$alice" "/TOPIC #room :the room, its topic"
qv_ii_do "$alice" "/KICK #side [BOB] :out of #side"
qv_ii_sync "$alice" sync1-alice || fail "alice"
qv_ii_say "$alice" "#room" "!case [BOB] {bob}"
check changed 1-3,6,8
for bot in qvbot "$zbot"; do
  qv_wait_for "$work/$bot.out" "case [BOB] {bob} true {BOB} {BOB}" 100 || fail "$bot did not fold [BOB] and {bob} to one nick"
done

# Logged out, back from away, gone: carol, bob, dave; qvbot is kicked from
# #side; zqv, through znc, takes another nick; the storm undone.
qv_ii_do "$carol" "/PRIVMSG NickServ :LOGOUT"
qv_wait_for "$carol/127.0.0.1/out" "You are now logged out" 300 || fail "carol did not log out"
qv_ii_do "$bob" "/AWAY"
qv_ii_do "$dave" "/QUIT :dave goes"
qv_ii_do "$carol" "/PART #side :carol leaves"
qv_ii_do "$alice" "/MODE #room $(qv_storm - "$modes" "o v" "{BOB}" carol dave zqv qvbot)"
qv_ii_do "$alice" "/KICK #side qvbot :not you either"
qv_ii_say "$alice" "#room" "!nick zqv zqv2"
qv_ii_sync "$bob" sync2-bob || fail "bob"
qv_ii_sync "$carol" sync2-carol || fail "carol"
qv_wait_for "$alice/127.0.0.1/out" 'has quit "dave goes"' 300 || fail "dave did not quit"
qv_wait_for "$work/zbot.out" "event IRC_OnNick zqv zqv2" 300 || fail "zqv did not take the nick zqv2"
qv_ii_sync "$alice" sync2-alice || fail "alice"
check left 1-3,6,8
grep -q "^event IRC_OnAccount carol carol" "$work/qvbot.out" && grep -q "^event IRC_OnAccount carol $" "$work/qvbot.out" ||
  fail "qvbot did not hear carol log in and out"

# zqv2 detaches and attaches again as zbot: znc holds zqv2 and says so.
kill -TERM "$attached"
wait "$attached" 2>/dev/null
attach zbot2
zbot=zbot2
for chan in "#room" "#zonly"; do
  qv_wait_for "$work/zbot2.out" "who-done $chan" 300 || fail "zbot2 did not learn who is in $chan"
done
check reattached
echo "room e2e ok ($((SECONDS - started)) s)"
