#!/bin/bash
# A name with two addresses where the first drops packets: examples/bot.lua
# connects to dual.quorvane.test, which a private hosts file gives ::1 (a
# listener whose queue is full: no answer at all) and then 127.0.0.1 (a
# real ngircd, on the same port). It must register through 127.0.0.1 at the
# first attempt, not give up on the silent address. The hosts file is bound
# over /etc/hosts in a mount namespace of the bot's own, which takes root;
# elsewhere the test says why it is skipped.
# Usage: dual_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() { echo "FAIL: $*"; for f in "$work"/bot.out "$work"/ngircd.log "$work"/silent.out; do echo "---- $f"; cat "$f"; done; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

private=(unshare --mount --propagation private sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$work/hosts")
[ "$(id -u)" -eq 0 ] || skip "a hosts file of the test's own needs root (a mount namespace)"
command -v unshare >/dev/null || skip "unshare is not installed"
{ cat /etc/hosts; printf '\n::1 dual.quorvane.test\n127.0.0.1 dual.quorvane.test\n'; } >"$work/hosts"
"${private[@]}" getent ahosts dual.quorvane.test >"$work/resolved" 2>&1 ||
  skip "no private hosts file here: $(head -c 300 "$work/resolved")"
[ "$(awk 'NR == 1 { print $1 }' "$work/resolved")" = ::1 ] ||
  skip "the resolver does not put ::1 first here: $(tr '\n' ' ' <"$work/resolved")"

QV_IRCD_LISTEN=127.0.0.1 qv_start_ircd "$work" || exit 1
# On ::1 at the server's port: a listener that never accepts, its queue full.
python3 - "$QV_PORT" >"$work/silent.out" 2>&1 <<'PY' &
import socket, sys, time
s = socket.socket(socket.AF_INET6)
s.bind(("::1", int(sys.argv[1])))
s.listen(0)
held = []
for _ in range(8):
    c = socket.socket(socket.AF_INET6)
    c.setblocking(False)
    c.connect_ex(("::1", int(sys.argv[1])))
    held.append(c)
print("silent", flush=True)
time.sleep(120)
PY
QV_PIDS+=("$!")
qv_wait_for "$work/silent.out" "silent" 100 || fail "no silent listener on ::1"

"${private[@]}" "$HOST" --module "$MODULE" "$BOT" dual.quorvane.test "$QV_PORT" dbot "#dual" >"$work/bot.out" 2>&1 &
QV_PIDS+=("$!")
qv_wait_for "$work/bot.out" "registered as dbot" 600 || fail "the bot did not register"
grep -q "Connect failed" "$work/bot.out" && fail "an attempt failed before the bot registered"
echo "dual e2e ok: registered through 127.0.0.1 at the first attempt"
