#!/usr/bin/env bash
# Runs the built program under valgrind's memory checker over each mode:
# any invalid access, uninitialised read or leak fails the script.  The
# pattern and the compiled expression live until the program ends; they are
# still reachable then and are not counted as leaks.
# Usage: tests/valgrind_runs.sh path/to/zamplet
set -euo pipefail
zamplet=$(realpath "$1")
suppressions=$(realpath "$(dirname "$0")/valgrind_re2.supp")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
{ yes 'the quick brown fox jumps over the lazy dog' || true; } | head -c 300000 > text
mkdir -p tree/sub && cp text tree/a.txt && cp text tree/sub/b.txt && printf 'fox\n' > tree/sub/c.txt
cp text one.txt && cp text two.txt

runs=0
check() {
  # With --quiet, valgrind writes to its log only what it finds; the program's
  # own exit status (1 for a refused pattern) is not the point here.
  local log=$work/valgrind.log
  valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --suppressions="$suppressions" \
    --log-file="$log" \
    "$zamplet" "$@" < text > /dev/null 2>&1 || true
  if [ -s "$log" ]; then echo "valgrind found a fault in: zamplet $*"; cat "$log"; exit 1; fi
  runs=$((runs + 1))
}
check fox cat                        # filter, expression
check -w -v fox cat                  # filter, fixed string, trace
check -e -i 'F(O|X)+' NULL           # filter, extended, empty replacement
check -n 'dog$' 'dog and cat'        # filter, growing replacement
check -v fox cat one.txt two.txt     # listed files
check -w -t scratch.tmp -d fox fo one.txt two.txt  # listed, -t name, times kept
check -l lazy busy one.txt           # listed, copy kept
check -r -w quick slow tree          # recursive
check -r 'o' 'oo' tree               # recursive, growing
check '\(' x                         # expression that does not compile
check -w '' x                        # empty fixed string
echo "valgrind: $runs runs, no error, no leak"
