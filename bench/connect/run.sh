#!/bin/bash
# The connect benchmark (scripts/bench connect): how long irc.Connect and
# the attempt after it hold the host, for a TLS server that never answers
# (twice: the first verified link of the process starts reading the
# system's trusted roots, the second finds them read),
# a refused port, a name that does not resolve, a server whose accept
# queue is full (as a machine that drops packets) and a name whose first
# address drops packets and whose second answers, against the same host
# doing nothing. The last needs a hosts file of the host's own (bound over
# /etc/hosts in a mount namespace: root only); without one it is left out.
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
for _ in $(seq 50); do [ "$(wc -l <"$work/ports")" -ge 4 ] && break; sleep 0.1; done
port() { awk -v n="$1" '$1 == n { print $2 }' "$work/ports"; }
private=(unshare --mount --propagation private sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$work/hosts")
{ cat /etc/hosts; printf '\n::1 dual.quorvane.test\n127.0.0.1 dual.quorvane.test\n'; } >"$work/hosts"
dual=(first-silent dual.quorvane.test "$(port dual)" plain)
if [ "$(id -u)" -ne 0 ] || ! "${private[@]}" true 2>/dev/null; then
  echo "(first-silent left out: a hosts file of our own needs root and unshare)"
  private=() dual=()
fi
"${private[@]}" "$build/quorvane-host" --module "$build/quorvane.so" "$here/connect.lua" \
  silent-tls 127.0.0.1 "$(port silent)" tls \
  silent-tls-again 127.0.0.1 "$(port silent)" tls \
  refused 127.0.0.1 "$(port refused)" plain \
  no-name no-such-host.invalid 6667 plain \
  full-queue 127.0.0.1 "$(port full)" plain \
  "${dual[@]}"
