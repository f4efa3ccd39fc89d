#!/bin/bash
# Runs one fuzz target over its corpus, then on new inputs as the extra
# flags say (-runs=N, -max_total_time=S). New inputs and crash files go to
# WORKDIR, never into the corpus; a crash file is to be added to the corpus
# once its fault is fixed.
# With QV_FUZZ_FRESH=1 (the tests) the inputs of earlier runs are dropped
# first, so every run does the same work.
# Usage: run.sh FUZZER CORPUS WORKDIR [LIBFUZZER FLAGS...]
set -eu
fuzzer=$1 corpus=$2 work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
[ "${QV_FUZZ_FRESH:-}" = 1 ] && rm -rf "$work/new"
mkdir -p "$work/new" "$work/crashes"
exec "$fuzzer" -dict="$here/irc.dict" -artifact_prefix="$work/crashes/" -timeout=20 \
  -print_final_stats=1 "$@" "$work/new" "$corpus"
