#!/bin/bash
# examples/bot.lua --sasl against a real inspircd linked to atheme, through
# chaos_proxy.py: every link but the last is spoilt (bytes one at a time or
# in random pieces, TLS records too; delays; resets anywhere from the
# connect to well past the join; a server gone silent past the ping
# timeout). A raw client in the channel says !ping every half second. The
# server's own log of each of the bot's links must show: the login in its
# strict order (nothing but registration before CAP END, the password only
# after the server's "AUTHENTICATE +", CAP END only after 903); no line
# twice, no more pongs than pings it heard on that link (no line queued for
# a lost link goes out on the next), one JOIN; the bot back in its channel
# on every link that lived past its JOIN, and on the last. Seeded: a
# failure names the seed, QV_CHAOS_SEED runs it again.
# Usage: chaos_e2e.sh HOST MODULE BOT_SCRIPT
set -u
HOST=$1 MODULE=$2 BOT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
SEED=${QV_CHAOS_SEED:-$((RANDOM * 32768 + RANDOM))}
fail() {
  echo "FAIL (seed $SEED): $*"
  for f in "$work"/bot-*.out "$work"/proxy-*.log "$work"/inspircd.out "$work"/pinger.out; do echo "---- $f"; cat "$f"; done
  exit 1
}
command -v inspircd >/dev/null && command -v atheme-services >/dev/null || fail "inspircd or atheme-services missing (scripts/ensure-packages)"
echo "chaos seed $SEED"

ACCOUNT=qvchaos
PASSWORD="Chaos-$RANDOM-$RANDOM"
LINKPW="link-$RANDOM"
write_configs() {
link=$((port + 1)) tls=$((port + 2))
cat >"$work/inspircd.conf" <<CONF
$(qv_inspircd_client_conf)
$(qv_inspircd_tls_conf "$work/server.pem" "$work/server.key")
<module name="cap">
$(qv_inspircd_services_conf)
CONF
mkdir -p "$work/atheme"
qv_atheme_conf "$work/atheme.conf" "$link" "$LINKPW"
}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=irc.quorvane.test \
  -keyout "$work/server.key" -out "$work/server.pem" 2>/dev/null || fail "could not make the server's certificate"
qv_start_inspircd 3 write_configs || fail "no inspircd"
qv_start_atheme || fail "no services"
qv_register_account "$port" "$ACCOUNT" "$PASSWORD" >"$work/register.out" 2>&1 || fail "could not register the account"

# The pinger: in #chaos, "!ping" every half second until stopped.
timeout 600 python3 - "$port" >"$work/pinger.out" 2>&1 <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=0.1)
s.sendall(b"NICK pinger\r\nUSER pinger 0 * :pinger\r\n")
buf, joined, last = b"", False, 0
while True:
    try:
        data = s.recv(4096)
        if not data:
            break
        buf += data
    except socket.timeout:
        pass
    *lines, buf = buf.split(b"\r\n")
    for line in lines:
        if line.startswith(b"PING"):
            s.sendall(b"PONG" + line[4:] + b"\r\n")
        if b" 376 " in line or b" 422 " in line:
            s.sendall(b"JOIN #chaos\r\n")
            joined = True
    if joined and time.monotonic() - last > 0.5:
        s.sendall(b"PRIVMSG #chaos :!ping\r\n")
        last = time.monotonic()
PY
QV_PIDS+=("$!")

# One phase: LINKS links of the bot through the proxy to the server's
# port PORT, the bot's last arguments TLS...
phase() {
  local name=$1 target=$2 links=$3 bot proxy
  shift 3
  rm -f "$work/proxy-$name.port"
  python3 "$here/chaos_proxy.py" "$work/proxy-$name.port" "$target" "$SEED" "$links" "$work/proxy-$name.log" ${1:+tls} &
  proxy=$!
  QV_PIDS+=("$proxy")
  for _ in $(seq 100); do [ -s "$work/proxy-$name.port" ] && break; sleep 0.1; done
  [ -s "$work/proxy-$name.port" ] || fail "the proxy did not start"
  QUORVANE_SASL_PASSWORD=$PASSWORD QV_BOT_PING_TIMEOUT=4 QV_BOT_RETRY=1 QV_BOT_REGISTER_TIMEOUT=30 \
    "$HOST" --module "$MODULE" "$BOT" --sasl "$ACCOUNT" 127.0.0.1 "$(cat "$work/proxy-$name.port")" "chaos$name" "#chaos" "$@" \
    >"$work/bot-$name.out" 2>&1 &
  bot=$!
  QV_PIDS+=("$bot")
  # The last link is the one that lives: the bot is back once it has
  # registered on it.
  for _ in $(seq 2400); do
    grep -q "^link $((links - 1)) " "$work/proxy-$name.log" 2>/dev/null &&
      grep -E "connecting to|registered as" "$work/bot-$name.out" | tail -n 1 | grep -q "registered as" && break
    kill -0 "$bot" 2>/dev/null || fail "the bot stopped in phase $name"
    sleep 0.1
  done
  grep -q "^link $((links - 1)) " "$work/proxy-$name.log" || fail "phase $name: the bot did not come back through all $links links"
  sleep 2  # a few pings on the last link
  kill -TERM "$bot"
  for _ in $(seq 50); do kill -0 "$bot" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$proxy" 2>/dev/null && kill -TERM "$proxy"
  grep -q "giving up" "$work/bot-$name.out" && fail "phase $name: the bot gave up"
  return 0
}
phase plain "$port" 10
phase tls "$tls" 6 insecure

# The server writes its log in its own time: the last link's QUIT first.
for _ in $(seq 100); do [ "$(grep -ac "I QUIT" "$work/rawio.log")" -ge 2 ] && break; sleep 0.1; done
python3 "$here/chaos_check.py" "$work/rawio.log" "$work/proxy-plain.log" "$work/proxy-tls.log" || {
  [ -n "${QV_CHAOS_KEEP:-}" ] && cp "$work/rawio.log" "$QV_CHAOS_KEEP"
  fail "the server's log of the links breaks a rule"
}
echo "chaos e2e ok"
