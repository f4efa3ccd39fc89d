#!/usr/bin/env bash
# scripts/ensure-packages when apt's update fails (a mirror mid-sync, a
# stale index): it says so, with apt's reason, and installs from the
# indexes there are. Played by stand-ins for apt-get and dpkg-query, which
# only root calls without sudo.
set -euo pipefail
script=$1
[ "$(id -u)" -eq 0 ] || { echo "ensure-packages: not tried (not root)"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "$out"; echo "FAIL: $*"; exit 1; }
printf '#!/bin/sh\necho "$*" >>"%s/calls"\n[ "$1" = update ] && { echo "E: Release file is not valid yet"; exit 100; }\nexit 0\n' \
  "$dir" >"$dir/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$dir/dpkg-query"
chmod +x "$dir/apt-get" "$dir/dpkg-query"
out=$(PATH="$dir:$PATH" "$script" extra-pkg 2>&1) || fail "exit status $? after a failed update"
grep -qF 'apt-get update failed, going on with the indexes there are: E: Release file is not valid yet' <<<"$out" ||
  fail "the failed update was not told with apt's reason"
grep -qE '^install -y -qq cmake .* extra-pkg$' "$dir/calls" || fail "no install after the failed update: $(cat "$dir/calls")"
echo "ensure-packages: a failed update told, the install made"
