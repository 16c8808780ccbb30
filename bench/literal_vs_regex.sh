#!/usr/bin/env bash
# Times fixed-string mode against expression mode on the same 100 MB text,
# in filter mode and in place.  Usage: bench/literal_vs_regex.sh [zamplet-binary]
set -euo pipefail
zamplet=${1:-build/default/zamplet}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{ yes 'the quick brown fox jumps over the lazy dog foo bar baz' || true; } | head -c 100000000 > "$work/text"

# Median wall time of five runs of the given command, in seconds.
median() {
  local times=()
  for _ in 1 2 3 4 5; do
    cp "$work/text" "$work/copy"
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

filter_literal=$(median sh -c "'$zamplet' -w fox cat < '$work/text'")
filter_regex=$(median sh -c "'$zamplet' fox cat < '$work/text'")
inplace_literal=$(median "$zamplet" -w fox cat "$work/copy")
inplace_regex=$(median "$zamplet" fox cat "$work/copy")
printf '%-10s %10s %10s %8s\n' mode literal regex ratio
printf '%-10s %10s %10s %8.2f\n' filter "$filter_literal" "$filter_regex" "$(echo "$filter_regex / $filter_literal" | bc -l)"
printf '%-10s %10s %10s %8.2f\n' in-place "$inplace_literal" "$inplace_regex" "$(echo "$inplace_regex / $inplace_literal" | bc -l)"
