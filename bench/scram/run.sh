#!/bin/bash
# The SCRAM benchmark (scripts/bench scram): how long a login holds the
# host's thread, PLAIN against SCRAM-SHA-256 at 4096 rounds, at the
# module's cap (kScramMaxIterations) and one round over it, against a
# local server that checks our proof as a real one does.
#   run.sh BUILD_DIR [ROUNDS]
set -u
build=$1 rounds=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
cap=$(sed -n 's/^constexpr std::uint32_t kScramMaxIterations = \([0-9]*\);/\1/p' "$here/../../src/protocol/scram.h")
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
python3 "$here/server.py" >"$work/server.out" &
server=$!
for _ in $(seq 50); do grep -q PORT "$work/server.out" && break; sleep 0.1; done
port=$(awk '/^PORT/ { print $2 }' "$work/server.out")
"$build/quorvane-host" --module "$build/quorvane.so" "$here/login.lua" "$port" "$cap" "$rounds"
