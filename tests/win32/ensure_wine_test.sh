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
echo "ensure-wine: both decisions as expected"
