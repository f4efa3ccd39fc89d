#!/bin/bash
# Counts the copies of a SASL password, its base64 and a server password
# in the host process's memory once it has logged in and joined (read from
# /proc/PID/mem). The script's own strings and the stored settings are the
# copies expected: one of each password in each.
#   run.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'exec 3>&-; kill "$server" "$hostpid" 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/in"
python3 "$here/server.py" <"$work/in" >"$work/server.out" &
server=$!
exec 3>"$work/in"
for _ in $(seq 50); do grep -q PORT "$work/server.out" && break; sleep 0.1; done
port=$(awk '/^PORT/ { print $2 }' "$work/server.out")
"$build/quorvane-host" --module "$build/quorvane.so" "$here/login.lua" "$port" >"$work/host.out" 2>&1 &
hostpid=$!
for _ in $(seq 100); do grep -q READY "$work/server.out" && break; sleep 0.1; done
grep -q READY "$work/server.out" || { echo "the login did not finish"; cat "$work/host.out"; exit 1; }
sleep 0.5
python3 - "$hostpid" <<'PY'
import base64, re, sys
pid = int(sys.argv[1])
sasl, server = b"Zq9-sasl-pw-771", b"Xw7-srv-pw-442"
b64 = base64.b64encode(b"acct\0acct\0" + sasl)
counts = {sasl: 0, server: 0, b64: 0}
with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", 0) as mem:
    for line in maps:
        m = re.match(r"([0-9a-f]+)-([0-9a-f]+) r", line)
        if not m:
            continue
        start, end = int(m.group(1), 16), int(m.group(2), 16)
        try:
            mem.seek(start)
            chunk = mem.read(end - start)
        except (OSError, ValueError, OverflowError):
            continue
        for k in counts:
            counts[k] += chunk.count(k)
print("copies in the host's memory after the login (expected: 2, 2, 0):")
print("  SASL password    %d" % counts[sasl])
print("  server password  %d" % counts[server])
print("  SASL base64      %d" % counts[b64])
PY
