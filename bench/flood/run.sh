#!/bin/bash
# The flood benchmark (scripts/bench runs it): interleaved rounds of the
# clients, each against a fresh flood server, then one table.
#   floor     what the host contract costs at least: the corpus's events
#             handed to hook.Call through Lua's C API (floor_client.cpp),
#             with no socket; it reads the lines the server would send
#   lua       the module's work in Lua: quorvane-host --no-module lua_client.lua
#   host-off  quorvane-host with the module, irc.Debug(false)
#   host-on   the same with irc.Debug(true), stdout to /dev/null
#   host-tls  (with --tls) host-off over TLS, the server's certificate made
#             for the run
#   host-utf8 (with --utf8) host-off with irc.SetUTF8(true); with --utf8
#             every client gets a corpus with one line in ten non-ASCII
#   host-tags (with --tags) host-off on the same corpus with message tags
#             (server-time and account) on every chat line; the others
#             get it without them
#   host-before (with --before MODULE) host-off with another build of the
#             module, the same host: what a change costs per line
# With --churn the corpus is a channel's joins, parts, quits, nicks and
# modes, the channel filled in the welcome with 50,000 members (or M, with
# --churn-members M); only host-off (and host-before) run it, the others
# do not keep channels.
# Then a connected, silent host's CPU over IDLE seconds, and its exit on
# SIGTERM.
#   run.sh BUILD_DIR [--lines N] [--rounds R] [--idle-seconds S] [--no-idle] [--tls] [--utf8] [--tags]
#          [--churn] [--churn-members M] [--before MODULE]
# QV_BENCH_HOST / QV_BENCH_MODULE replace the host program and module of the
# host-* clients (to compare builds; the lua client keeps BUILD_DIR's host).
set -u
build=$1; shift
lines=1000000 rounds=5 idle=30 tls=no utf8=no tags=no churn=no members=50000 before=
while [ $# -gt 0 ]; do
  case $1 in
    --lines) lines=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --idle-seconds) idle=$2; shift 2 ;;
    --no-idle) idle=0; shift ;;
    --tls) tls=yes; shift ;;
    --utf8) utf8=yes; shift ;;
    --tags) tags=yes; shift ;;
    --churn) churn=yes; shift ;;
    --churn-members) churn=yes members=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
base_host=$build/quorvane-host
host=${QV_BENCH_HOST:-$build/quorvane-host}
module=${QV_BENCH_MODULE:-$build/quorvane.so}
server=$build/qv_bench_flood_server
floor=$build/qv_bench_floor
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
results=$work/results
# The server stands in for another machine: on a CPU of its own, so that
# waking it to send more never preempts the client in the middle of a
# tick (that would count against the client's tick, not its CPU).
pin_server=() pin_client=()
if command -v taskset >/dev/null; then
  # The CPUs this run may use (a container may allow some only), one a line.
  allowed=$(taskset -pc $$ | sed 's/.*: //' | tr ',' '\n' |
    awk -F- '{ if (NF == 2) for (i = $1; i <= $2; i++) print i; else print $1 }')
  if [ "$(echo "$allowed" | grep -c .)" -ge 2 ]; then
    pin_server=(taskset -c "$(echo "$allowed" | tail -1)")
    pin_client=(taskset -c "$(echo "$allowed" | head -n -1 | paste -sd,)")
  fi
fi

# serve [--tls] MODE [N]: starts the server, sets $server_pid and $port
serve() {
  : >"$work/server.out"
  local tls_args=()
  if [ "$1" = --tls ]; then tls_args=(--tls "$work/certs/server.pem" "$work/certs/server.key"); shift; fi
  "${pin_server[@]}" "$server" "${tls_args[@]}" "$@" >"$work/server.out" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do [ -s "$work/server.out" ] && break; sleep 0.1; done
  port=$(head -1 "$work/server.out")
  [ -n "$port" ] || { echo "flood server did not start" >&2; exit 1; }
}

# ends the server: it leaves when its client hangs up
unserve() {
  for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
}

run_client() {  # ROUND CLIENT
  local round=$1 client=$2 status=0 corpus=()
  [ "$utf8" = yes ] && corpus+=(--mixed)
  [ "$client" = host-utf8 ] && corpus+=(--utf8)
  [ "$client" = host-tags ] && corpus+=(--tags)
  [ "$churn" = yes ] && corpus+=(--churn "$members")
  if [ "$client" = floor ]; then
    rm -f "$work/result"
    "${pin_client[@]}" "$floor" "$here/../../quorvane-host/prelude.lua" "$here/handlers.lua" "$work/corpus" "$work/result" 2>"$work/err" || status=$?
    [ "$status" = 0 ] || { echo "round $round, floor: exit status $status: $(head -c 300 "$work/err")" >&2; }
    echo "round=$round client=floor status=$status $(cat "$work/result" 2>/dev/null) $(cat "$work/corpus.expect")" >>"$results"
    return
  fi
  if [ "$client" = host-tls ]; then serve --tls "${corpus[@]}" flood "$lines"; else serve "${corpus[@]}" flood "$lines"; fi
  rm -f "$work/result"
  case $client in
    lua) "${pin_client[@]}" timeout 900 "$base_host" --no-module "$here/lua_client.lua" "$port" "$work/result" >/dev/null 2>"$work/err" || status=$? ;;
    host-off | host-tags) "${pin_client[@]}" timeout 900 "$host" --module "$module" "$here/module_client.lua" "$port" off "$work/result" >/dev/null 2>"$work/err" || status=$? ;;
    host-before) "${pin_client[@]}" timeout 900 "$host" --module "$before" "$here/module_client.lua" "$port" off "$work/result" >/dev/null 2>"$work/err" || status=$? ;;
    host-on) "${pin_client[@]}" timeout 900 "$host" --module "$module" "$here/module_client.lua" "$port" on "$work/result" >/dev/null 2>"$work/err" || status=$? ;;
    host-tls) "${pin_client[@]}" timeout 900 "$host" --module "$module" "$here/module_client.lua" "$port" off "$work/result" tls >/dev/null 2>"$work/err" || status=$? ;;
    host-utf8) "${pin_client[@]}" timeout 900 "$host" --module "$module" "$here/module_client.lua" "$port" off "$work/result" utf8 >/dev/null 2>"$work/err" || status=$? ;;
  esac
  unserve
  [ "$status" = 0 ] || { echo "round $round, $client: exit status $status: $(head -c 300 "$work/err")" >&2; }
  echo "round=$round client=$client status=$status $(cat "$work/result" 2>/dev/null) $(tail -1 "$work/server.out")" >>"$results"
}

clients=(floor lua host-off host-on)
[ "$utf8" = yes ] && clients=(floor lua host-off host-utf8)
# The floor's lines: the corpus the lua client gets, read before its clock starts.
corpus_args=()
[ "$utf8" = yes ] && corpus_args+=(--mixed)
"$server" "${corpus_args[@]}" dump "$lines" "$work/corpus" >"$work/corpus.expect" || exit 1
[ "$tags" = yes ] && clients+=(host-tags)
[ "$churn" = yes ] && clients=(host-off)
[ -n "$before" ] && clients+=(host-before)
if [ "$tls" = yes ]; then
  clients+=(host-tls)
  bash "$here/../../tests/tls/make_certs.sh" "$work/certs" || exit 1
fi
n=${#clients[@]}
for round in $(seq "$rounds"); do
  # Each round starts with another client, so none always runs first.
  for i in $(seq 0 $((n - 1))); do
    c=${clients[$(((i + round - 1) % n))]}
    echo "round $round/$rounds: $c" >&2
    run_client "$round" "$c"
  done
done

# CPU time of a process in ns: schedstat counts it exactly, where the
# clock ticks of /proc/PID/stat would round 30 s of idling to a few ticks.
cpu_ns() { local f; read -r -a f <"/proc/$1/schedstat" && echo "${f[0]}"; }

if [ "$idle" -gt 0 ]; then
  echo "idle: a connected host for $idle s" >&2
  serve idle
  rm -f "$work/result"
  "$host" --module "$module" "$here/module_client.lua" "$port" off "$work/result" idle >/dev/null 2>"$work/err" &
  hpid=$!
  pids+=("$hpid")
  for _ in $(seq 100); do [ -s "$work/result" ] && break; sleep 0.1; done
  sleep 2
  t0=$(cpu_ns "$hpid"); s0=$(date +%s.%N)
  sleep "$idle"
  t1=$(cpu_ns "$hpid"); s1=$(date +%s.%N)
  kill -TERM "$hpid"
  exited=no
  for _ in $(seq 50); do kill -0 "$hpid" 2>/dev/null || { exited=yes; break; }; sleep 0.1; done
  status=0
  [ "$exited" = yes ] && { wait "$hpid" || status=$?; }
  unserve
  echo "idle cpu_ns=$((t1 - t0)) seconds=$(awk -v a="$s0" -v b="$s1" 'BEGIN { print b - a }') exited=$exited status=$status" >>"$results"
fi

"$base_host" --no-module "$here/report.lua" "$results" "$lines" "$([ "$churn" = yes ] && echo "$members")"
