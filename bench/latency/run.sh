#!/bin/bash
# The latency benchmark (scripts/bench latency): how long a line takes from
# the server's write to the script's chat handler, p50/p99/max over LINES
# lines spread over SECONDS, through the module in quorvane-host against
# the same work in Lua on LuaSocket (which blocks on its socket), in the
# same run; how often the host's loop dispatched while the module's link
# was idle; and the registration, TCP open to 001 and to the echo of the
# first JOIN, median of ROUNDS, the module against weechat-headless on
# ircd-hybrid (its Debian package unpacked) and on inspircd.
#   run.sh BUILD_DIR [--lines N] [--seconds S] [--rounds R]
set -u
build=$1
shift
lines=10000 seconds=60 rounds=5
while [ $# -gt 0 ]; do
  case $1 in
    --lines) lines=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../tests/e2e/ircd.sh"
qv_workspace

echo "== latency: $lines lines over $seconds s, server's write to the chat handler"
python3 "$here/server.py" "$lines" "$seconds" >"$work/lat.port" &
QV_PIDS+=("$!")
for _ in $(seq 50); do [ -s "$work/lat.port" ] && break; sleep 0.1; done
lport=$(head -n 1 "$work/lat.port")
timeout $((seconds * 3 + 60)) "$build/quorvane-host" --module "$build/quorvane.so" "$here/client.lua" module "$lport" "$work/lat" 3 >/dev/null
timeout $((seconds * 3 + 60)) "$build/quorvane-host" --no-module "$here/client.lua" lua "$lport" "$work/lat" 3 >/dev/null
sed 's/^/  /' "$work/lat"

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else print v[int((NR + 1) / 2)] }'; }

# register_once CLIENT SERVER_PORT: one registration through the relay;
# prints "reg_ms=... join_ms=...".
register_once() {
  local client=$1 upstream=$2 rport pid line
  : >"$work/relay.out"
  python3 "$here/proxy.py" "$upstream" >"$work/relay.out" &
  local relay=$!
  for _ in $(seq 50); do [ -s "$work/relay.out" ] && break; sleep 0.1; done
  rport=$(head -n 1 "$work/relay.out")
  case $client in
    module) "$build/quorvane-host" --module "$build/quorvane.so" "$here/register.lua" "$rport" >"$work/client.out" 2>&1 & ;;
    weechat)
      rm -rf "$work/weechat"
      weechat-headless -d "$work/weechat" -P irc --stdout -r "\
/server add b 127.0.0.1/$rport -notls -nicks=wcbench -username=wcbench -autojoin=#bench;\
/connect b" >"$work/client.out" 2>&1 & ;;
  esac
  pid=$!
  for _ in $(seq 250); do [ "$(wc -l <"$work/relay.out")" -ge 2 ] && break; sleep 0.1; done
  line=$(sed -n 2p "$work/relay.out")
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  kill -TERM "$relay" 2>/dev/null
  wait "$relay" 2>/dev/null
  echo "${line:-reg_ms=nan join_ms=nan}"
}

registration() {
  local name=$1 upstream=$2 client i reg join
  for client in module weechat; do
    : >"$work/rounds"
    for i in $(seq "$rounds"); do register_once "$client" "$upstream" >>"$work/rounds"; done
    reg=$(sed 's/.*reg_ms=\([^ ]*\).*/\1/' "$work/rounds" | median)
    join=$(sed 's/.*join_ms=\([^ ]*\).*/\1/' "$work/rounds" | median)
    printf '  %-9s %-8s TCP open to 001 %7s ms, to the JOIN echo %7s ms (median of %d: %s)\n' "$name" "$client" \
      "$reg" "$join" "$rounds" "$(sed 's/.*reg_ms=\([^ ]*\).*/\1/' "$work/rounds" | tr '\n' ' ')"
  done
}

echo "== registration"
if command -v weechat-headless >/dev/null; then
  if qv_start_hybrid; then
    registration ircd-hybrid "$QV_PORT"
  else
    echo "  (ircd-hybrid left out: $QV_WHY)"
  fi
  if command -v inspircd >/dev/null; then
    inspircd_conf() { qv_inspircd_client_conf >"$work/inspircd.conf"; }
    if qv_start_inspircd 1 inspircd_conf; then
      registration inspircd "$port"
    else
      echo "  (inspircd left out: it did not start)"
    fi
  fi
else
  echo "  (left out: no weechat-headless)"
fi
