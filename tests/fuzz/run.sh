#!/usr/bin/env bash
# Builds the substitution fuzzer (preset fuzz) and runs it for SECONDS seconds
# over the committed seed corpus.  New inputs go to a scratch corpus, so the
# committed one is never written; a crash input is kept under
# build/fuzz/artifacts/.  Exits non-zero when the fuzzer found a fault.
#   usage: bash tests/fuzz/run.sh SECONDS
set -euo pipefail
seconds=${1:?usage: tests/fuzz/run.sh SECONDS}
cd "$(dirname "$0")/../.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/seeds"
cp tests/fuzz/corpus/* "$work/seeds/"
artifacts=$PWD/build/fuzz/artifacts
mkdir -p "$artifacts"

# The longest useful input: the five header bytes, a 16-byte pattern, a
# 255-byte replacement and a 4096-byte text.
status=0
build/fuzz/tests/fuzz/substitute_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=4372 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$work/corpus" "$work/seeds" >"$work/log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$work/log" || true
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
echo "executions: ${runs:-unknown}"
if [ "$status" -ne 0 ]; then
  tail -n 60 "$work/log"
  echo "substitute_fuzz failed with status $status; inputs in $artifacts" >&2
  exit "$status"
fi
