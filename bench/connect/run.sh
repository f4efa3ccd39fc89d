#!/bin/bash
# The connect benchmark (scripts/bench connect): how long irc.Connect and
# the attempt after it hold the host, for a TLS server that never answers,
# a refused port, a name that does not resolve and a server whose accept
# queue is full (as a machine that drops packets), against the same host
# doing nothing.
#   run.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'exec 3>&-; kill "$peer" 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/in"
python3 "$here/listeners.py" <"$work/in" >"$work/ports" &
peer=$!
exec 3>"$work/in"
for _ in $(seq 50); do [ "$(wc -l <"$work/ports")" -ge 3 ] && break; sleep 0.1; done
port() { awk -v n="$1" '$1 == n { print $2 }' "$work/ports"; }
"$build/quorvane-host" --module "$build/quorvane.so" "$here/connect.lua" \
  silent-tls 127.0.0.1 "$(port silent)" tls \
  refused 127.0.0.1 "$(port refused)" plain \
  no-name no-such-host.invalid 6667 plain \
  full-queue 127.0.0.1 "$(port full)" plain
