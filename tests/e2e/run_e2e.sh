#!/bin/bash
# Runs one end-to-end Lua test: a private ngircd (low ping timeout), an ii
# client "peer" in #e2e, then quorvane-host with the test script.
# Usage: run_e2e.sh HOST MODULE SCRIPT
set -u
HOST=$1 MODULE=$2 SCRIPT=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace

for tool in ngircd ii; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/demo installs it)"; exit 1; }
done
qv_start_ircd "$work" 5 || exit 1
qv_start_ii "$work/ii" peer || exit 1
qv_ii_join "$work/ii" "#e2e" || exit 1

timeout 170 "$HOST" --module "$MODULE" "$SCRIPT" "$QV_PORT" "$work/ii"
status=$?
if [ "$status" != 0 ]; then
  echo "---- ii server log"; cat "$work/ii/127.0.0.1/out"
  echo "---- ii channel log"; cat "$work/ii/127.0.0.1/#e2e/out"
  echo "---- ngircd log"; tail -30 "$work/ngircd.log"
fi
exit "$status"
