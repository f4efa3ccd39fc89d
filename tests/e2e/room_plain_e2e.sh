#!/bin/bash
# The room against a server of another PREFIX and CASEMAPPING: ircd-hybrid
# ((ohv)@%+, ascii, WHOX and the IRCv3 state capabilities but no services
# and no CHGHOST), run from its Debian package unpacked in the test's
# folder, or ngircd ((qaohv)~&@%+, ascii, no WHOX and no state capability:
# the names, JOIN, MODE and NICK carry all, the bot asks WHO itself). ii
# users join, part, are kicked, change nicks, storm the modes and quit;
# [q] and {q} are two people. At each stop a client of the test's own
# reads what the server says (NAMES, WHO, WHOIS) and asks the bot for its
# view, which must be the same: members, statuses, user@host, and where
# the server tells it, real names and away texts.
# Usage: room_plain_e2e.sh hybrid|ngircd HOST MODULE ROOM_SCRIPT
set -u
SERVER=$1 HOST=$2 MODULE=$3 ROOM=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() {
  echo "FAIL: $*";   for f in "$work"/*.out "$work"/*.server "$work"/ngircd.log "$work"/hybrid/ircd.log; do echo "---- $f"; cat "$f"; done
  exit 1
}
skip() { echo "SKIPPED: $*"; exit 77; }
started=$SECONDS

start_hybrid() {
  qv_start_hybrid
  case $? in
    0) ;;
    77) skip "$QV_WHY" ;;
    *) fail "$QV_WHY" ;;
  esac
}

case $SERVER in
  hybrid) start_hybrid; FIELDS=1- ;;
  # Without extended-join or away-notify the bot hears no real name or away
  # text after its WHO: it is held to the members, statuses and user@host.
  # ngircd's penalties would hold each user back a second or two a command.
  ngircd) QV_IRCD_PENALTY=0 qv_start_ircd "$work" || fail "ngircd did not start"; FIELDS=1-5 ;;
  *) fail "no server $SERVER" ;;
esac
port=$QV_PORT

alice=$work/alice bob=$work/bob carol=$work/carol q1=$work/q1 q2=$work/q2
qv_start_ii "$alice" alice || fail "alice did not log in"
for chan in "#room" "#side"; do qv_ii_join "$alice" "$chan" || fail "alice did not join $chan"; done
qv_ii_do "$alice" "/TOPIC #room :set before the bot came"
qv_start_ii "$bob" bob || fail "bob did not log in"
for chan in "#room" "#side"; do qv_ii_join "$bob" "$chan" || fail "bob did not join $chan"; done
# bracketed: ii makes its user name of its nick, and servers refuse one
# with brackets; so it logs in as another.
bracketed() {
  qv_start_ii "$1" "$3" || fail "$2 did not log in"
  qv_ii_do "$1" "/NICK $2"
  qv_ii_sync "$1" "sync-$3" || fail "$2"
  echo "$2" >"$1/nick"
  qv_ii_join "$1" "#room" || fail "$2 did not join"
}
bracketed "$q1" "[q]" q1
qv_ii_sync "$alice" sync0-alice || fail "alice"

QUORVANE_TRACE=$work/qvbot.trace "$HOST" --module "$MODULE" "$ROOM" 127.0.0.1 "$port" qvbot qvroom "#room" "#side" >"$work/qvbot.out" 2>&1 &
QV_PIDS+=("$!")
for chan in "#room" "#side"; do
  qv_wait_for "$work/qvbot.out" "who-done $chan" 300 || fail "qvbot did not learn who is in $chan"
done
check() {
  qv_snapshot "$port" "$1" "#room #side" qvroom || fail "no snapshot at $1"
  qv_same_room "$1" qvbot qvroom "$FIELDS" || fail "qvbot at $1"
}
check s1

# {q} is not [q] here; carol comes; bob's nick changes, in case too.
bracketed "$q2" "{q}" q2
qv_start_ii "$carol" carol || fail "carol did not log in"
for chan in "#room" "#side"; do qv_ii_join "$carol" "$chan" || fail "carol did not join $chan"; done
qv_ii_do "$bob" "/NICK bob_"
qv_ii_do "$bob" "/NICK BOB"
qv_ii_do "$bob" "/AWAY :gone fishing"
qv_ii_sync "$bob" sync1-bob || fail "bob"
modes=$(sed -n 's/^rules .* MODES=\([0-9]*\).*/\1/p' "$work/qvbot.out")
[ -n "$modes" ] || fail "qvbot did not print the server's MODES"
qv_ii_do "$alice" "/MODE #room +vv carol [q]"
qv_ii_do "$alice" "/MODE #room +ooo-v BOB carol {q} carol"
qv_ii_do "$alice" "/MODE #room $(qv_storm + "$modes" "o h v" BOB carol "{q}" "[q]" qvbot)"
qv_ii_do "$alice" "/MODE #room +lk-o+v 42 sekrit carol carol"
qv_ii_do "$alice" "/MODE #room -k+b-l sekrit *!*@worse.example"
qv_ii_do "$alice" "/KICK #side bob :out of #side"
qv_ii_do "$alice" "/TOPIC #side :set after"
qv_ii_sync "$alice" sync1-alice || fail "alice"
qv_ii_say "$alice" "#room" "!case [q] {Q}"
check s2
qv_wait_for "$work/qvbot.out" "case [q] {Q} false [q] {q}" 100 || fail "qvbot took [q] and {Q} for one nick"

qv_ii_do "$q1" "/QUIT :gone"
qv_ii_do "$carol" "/PART #side :carol leaves"
qv_ii_do "$bob" "/AWAY"
qv_ii_do "$alice" "/MODE #room $(qv_storm - "$modes" "o h v" BOB carol "{q}" "[q]" qvbot)"
qv_ii_do "$alice" "/KICK #side qvbot :not you either"
qv_ii_sync "$carol" sync2-carol || fail "carol"
qv_ii_sync "$bob" sync2-bob || fail "bob"
qv_ii_sync "$alice" sync2-alice || fail "alice"
qv_wait_for "$alice/127.0.0.1/out" 'gone"' 300 || fail "[q] did not quit"
check s3
echo "room e2e against $SERVER ok ($((SECONDS - started)) s)"
