#!/bin/bash
# The host as a process: exit status and stderr for each way of failing,
# output order, errors in handlers, and the ways it ends.
# Usage: process_test.sh HOST PROBE_MODULE PROBE_WITHOUT_CLOSE SOURCE_DIR
set -u
HOST=$1 PROBE=$2 NOCLOSE=$3
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS... : runs the host, keeps stdout/stderr
run() {
  local name=$1 want=$2; shift 2
  timeout 60 "$HOST" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, want $want ($(head -c 300 "$work/$name.err"))"
}
# expect_err NAME PATTERN : stderr is one line matching PATTERN
expect_one_line() {
  local name=$1 pattern=$2
  [ "$(wc -l <"$work/$name.err")" = 1 ] || fail "$name: stderr is not one line: $(cat "$work/$name.err")"
  grep -Eq -- "$pattern" "$work/$name.err" || fail "$name: stderr '$(cat "$work/$name.err")' lacks /$pattern/"
}

echo 'host.Quit(0)' >"$work/quit.lua"

run usage 2
grep -q usage "$work/usage.err" || fail "usage line missing"

run nomodule 1 --module "$work/missing.so" "$work/quit.lua"
expect_one_line nomodule "^quorvane-host: cannot load module $work/missing.so: .*No such file"

run noentry 1 --module "$NOCLOSE" "$work/quit.lua"
expect_one_line noentry "^quorvane-host: module .*qv_probe_noclose.so has no gmod_close entry$"

run noscript 1 --module "$PROBE" "$work/absent.lua"
expect_one_line noscript "^quorvane-host: $work/absent.lua: cannot open $work/absent.lua"

printf 'local x = = 1\n' >"$work/syntax.lua"
run syntax 1 --module "$PROBE" "$work/syntax.lua"
expect_one_line syntax "^quorvane-host: $work/syntax.lua: $work/syntax.lua:1: unexpected symbol"

printf 'print("before")\nerror("boom")\n' >"$work/runtime.lua"
run runtime 1 --module "$PROBE" "$work/runtime.lua"
expect_one_line runtime "^quorvane-host: $work/runtime.lua: $work/runtime.lua:2: boom$"
# The module is closed before the host gives up, and earlier output is kept.
[ "$(cat "$work/runtime.out")" = "$(printf 'before\n[probe] closed')" ] || fail "runtime: stdout $(cat "$work/runtime.out")"

printf 'error({})\n' >"$work/tableerr.lua"
run tableerr 1 --module "$PROBE" "$work/tableerr.lua"
expect_one_line tableerr "tableerr.lua: \(error object is not a string\)"

# The module's formatted output and Lua's print share one stream, in order,
# also through a pipe (fully buffered).
cat >"$work/order.lua" <<'LUA'
print("a")
probe.Print("b", 1)
io.write("c\n")
timer.Simple(0, function() probe.Print("d", 2); print("e"); host.Quit(0) end)
LUA
timeout 60 "$HOST" --module "$PROBE" "$work/order.lua" 2>"$work/order.err" | cat >"$work/order.out"
[ "$(cat "$work/order.out")" = "$(printf 'a\nb:1\nc\nd:2\ne\n[probe] closed')" ] || fail "order: $(cat "$work/order.out")"

# A failing handler: one [ERROR] block with a traceback per failure, and
# everything goes on.
cat >"$work/handler.lua" <<'LUA'
hook.Add("IRC_X", "bad", function(x) error("bad handler " .. x) end)
probe.Raise("IRC_X", 2, "v")
print("after")
host.Quit(0)
LUA
run handler 0 --module "$PROBE" "$work/handler.lua"
[ "$(grep -c '^\[ERROR\] .*handler.lua:1: bad handler v$' "$work/handler.err")" = 2 ] || fail "handler: $(cat "$work/handler.err")"
[ "$(grep -c '^stack traceback:' "$work/handler.err")" = 2 ] || fail "handler: no traceback"
grep -q '^after$' "$work/handler.out" || fail "handler: script did not go on"

# host.Quit: exit code, module closed, from the main chunk without running
# the loop.
printf 'timer.Simple(0, function() print("loop ran") end)\nhost.Quit(7)\n' >"$work/quit7.lua"
run quit7 7 --module "$PROBE" "$work/quit7.lua"
[ "$(cat "$work/quit7.out")" = "[probe] closed" ] || fail "quit7: $(cat "$work/quit7.out")"
[ ! -s "$work/quit7.err" ] || fail "quit7: stderr $(cat "$work/quit7.err")"

# SIGTERM and SIGINT end the loop: module closed, status 0.
printf 'timer.Simple(0, function() print("ready") end)\ntimer.Create("idle", 3600, 0, print)\n' >"$work/idle.lua"
for sig in TERM INT; do
  "$HOST" --module "$PROBE" "$work/idle.lua" >"$work/sig$sig.out" 2>"$work/sig$sig.err" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 300); do grep -q ready "$work/sig$sig.out" && break; sleep 0.1; done
  grep -q ready "$work/sig$sig.out" || fail "sig$sig: never ready"
  kill -"$sig" "$pid"
  status=0
  for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" || status=$?
  [ "$status" = 0 ] || fail "sig$sig: exit status $status"
  grep -q '^\[probe\] closed$' "$work/sig$sig.out" || fail "sig$sig: module not closed"
done

# On a stop signal the script's ShutDown handler runs, the loop goes on
# for a short grace period (a timer it sets still fires), then the module
# is closed. A handler that keeps the loop busy forever is cut off.
cat >"$work/shutdown.lua" <<'LUA'
local busy = arg[1] == "busy"
hook.Add("ShutDown", "bye", function()
  print("handler ran")
  if busy then timer.Create("busy", 0.01, 0, function() end) end
  timer.Simple(0.05, function() print("grace timer ran") end)
end)
timer.Simple(0, function() print("ready") end)
timer.Create("idle", 3600, 0, print)
LUA
for mode in calm busy; do
  "$HOST" --module "$PROBE" "$work/shutdown.lua" "$mode" >"$work/shut$mode.out" 2>"$work/shut$mode.err" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 300); do grep -q ready "$work/shut$mode.out" && break; sleep 0.1; done
  kill -INT "$pid"
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "shutdown $mode: still running 10 s after SIGINT"
  status=0
  wait "$pid" || status=$?
  [ "$status" = 0 ] || fail "shutdown $mode: exit status $status"
  [ "$(cat "$work/shut$mode.out")" = "$(printf 'ready\nhandler ran\ngrace timer ran\n[probe] closed')" ] ||
    fail "shutdown $mode: stdout $(cat "$work/shut$mode.out")"
done

# A closed stdout (reader gone) is no reason to die of SIGPIPE.
printf 'for i = 1, 20000 do print("line", i) end\ntimer.Simple(0.1, function() print("x"); host.Quit(5) end)\n' >"$work/pipe.lua"
set -o pipefail
timeout 60 "$HOST" --module "$PROBE" "$work/pipe.lua" 2>/dev/null | head -c 10 >/dev/null
status=$?
set +o pipefail
[ "$status" = 5 ] || fail "closed stdout: exit status $status, want 5"

if [ "$failures" = 0 ]; then echo "process tests passed"; else exit 1; fi
