#!/usr/bin/env bash
# scripts/ensure-wine's decision, tried dry (its qemu path changes the
# machine, and runs for real only where the kernel refuses 32-bit programs).
set -euo pipefail
script=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "$out"; echo "FAIL: $*"; exit 1; }

# A program that starts: nothing more to do.
out=$(QV_IA32_PROBE=/bin/true "$script" --dry-run)
grep -qE 'run natively here|run here through binfmt_misc' <<<"$out" || fail "a program that runs was not taken as running"
! grep -q qemu-user <<<"$out" || fail "qemu planned where programs run"

# An executable the kernel cannot load fails as a 32-bit program does on a
# kernel without 32-bit support: "Exec format error".
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$dir/refused"
chmod +x "$dir/refused"
out=$(QV_IA32_PROBE="$dir/refused" "$script" --dry-run)
grep -q 'refuses 32-bit x86 programs' <<<"$out" || fail "the refusal was not detected"
grep -qE 'would write to /proc/sys/fs/binfmt_misc/register: :qemu-i386:M::\\x7fELF.*:/usr/bin/qemu-i386[^:]*:F$' <<<"$out" ||
  fail "no qemu-i386 registration planned"
# apt failing at every turn (a stale index, an install it refuses) ends
# nothing: the 32-bit tests get apt's reason, the run goes on. Played by
# stand-ins for apt and dpkg, which only root calls without sudo.
if [ "$(id -u)" -ne 0 ]; then
  echo "ensure-wine: both decisions as expected (apt's failures not tried: not root)"
  exit 0
fi
mkdir -p "$dir/bin" "$dir/builds"
printf '#!/bin/sh\necho "E: apt says no ($*)"\nexit 100\n' >"$dir/bin/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$dir/bin/dpkg-query"
printf '#!/bin/sh\necho i386\n' >"$dir/bin/dpkg"
chmod +x "$dir/bin/apt-get" "$dir/bin/dpkg-query" "$dir/bin/dpkg"
out=$(PATH="$dir/bin:$PATH" QV_WINE_BUILDS="$dir/builds" QV_IA32_PROBE=/bin/true "$script" 2>&1) ||
  fail "exit status $? after apt failed"
grep -q 'suite preferred' <<<"$out" || fail "no second try with the main suite"
grep -q 'E: apt says no (install -y -qq -t ' "$dir/builds/build-win32/wine-install.reason" ||
  fail "no reason for the 32-bit tests: $(cat "$dir/builds/build-win32/wine-install.reason" 2>/dev/null)"
echo "ensure-wine: both decisions as expected; apt's failures end nothing"
