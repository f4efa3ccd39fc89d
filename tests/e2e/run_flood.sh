#!/bin/bash
# Floods the real module through quorvane-host from a local server.
# Usage: run_flood.sh HOST MODULE FLOOD_SERVER SCRIPT COUNT
set -u
HOST=$1 MODULE=$2 SERVER=$3 SCRIPT=$4 COUNT=${QV_EVENTS:-$5}
work=$(mktemp -d)
"$SERVER" "$COUNT" >"$work/port" &
server=$!
trap 'kill -KILL "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "FAIL: flood server did not start"; exit 1; }
timeout 600 "$HOST" --module "$MODULE" "$SCRIPT" "$(cat "$work/port")" "$COUNT"
