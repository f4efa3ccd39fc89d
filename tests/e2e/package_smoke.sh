#!/bin/bash
# The Linux package as a user gets it: unpacked into a fresh folder, its
# own quorvane-host runs its own examples/bot.lua (the module found beside
# the host) against a real ngircd, until the bot has joined its channel
# and answers there.
# Usage: package_smoke.sh quorvane-VERSION-linux-x86_64.tar.gz
set -u
TARBALL=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ircd.sh"
qv_workspace
fail() { echo "FAIL: $*"; for f in "$work"/bot.out "$work"/ngircd*.log "$work"/ii*/127.0.0.1/#bots/out; do echo "---- $f"; cat "$f"; done; exit 1; }

mkdir "$work/unpacked"
tar -xzf "$TARBALL" -C "$work/unpacked" || fail "cannot unpack $TARBALL"
pkg=$(echo "$work"/unpacked/quorvane-*)
[ -x "$pkg/quorvane-host" ] || fail "no quorvane-host in the package"

qv_start_ircd "$work" || exit 1
qv_start_ii "$work/ii1" peer || exit 1
qv_ii_join "$work/ii1" "#bots" || exit 1
chan="$work/ii1/127.0.0.1/#bots"

# The one command the README gives, run from elsewhere: nothing may come
# from the build tree or the current folder.
(cd / && exec "$pkg/quorvane-host" "$pkg/examples/bot.lua" 127.0.0.1 "$QV_PORT" botty "#bots") >"$work/bot.out" 2>&1 &
QV_PIDS+=("$!")

qv_wait_for "$chan/out" "botty(~quorvane@127.0.0.1) has joined #bots" 200 || fail "bot did not join"
echo '!ping' >"$chan/in"
qv_wait_for "$chan/out" "<botty> pong" 200 || fail "no pong"
echo "package smoke test ok: $(basename "$TARBALL")"
