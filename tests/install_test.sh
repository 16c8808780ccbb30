#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets:
# the program on the path, its manual page and its shell completion.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/zamplet share/man/man1/zamplet.1 share/bash-completion/completions/zamplet; do
  [ -f "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
out=$(printf 'one two one\n' | "$prefix/bin/zamplet" one 1)
[ "$out" = "$(printf '1 two 1\n 2')" ] || { echo "installed program gave: $out"; exit 1; }
usage=$("$prefix/bin/zamplet" -h)
[[ $usage == "This is zamplet, version "* ]] || { echo "usage text: $usage"; exit 1; }
# The page renders without a single warning.
warnings=$(groff -ww -man -z "$prefix/share/man/man1/zamplet.1" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
page=$(groff -man -Tascii -P-cbou "$prefix/share/man/man1/zamplet.1")
[[ $page == *"IN-PLACE PROTOCOL"* ]] || { echo "page does not render"; exit 1; }
# The completion offers options first and file names after the patterns.
bash -c "source '$prefix/share/bash-completion/completions/zamplet'
  COMP_WORDS=(zamplet -); COMP_CWORD=1; _zamplet; [[ \" \${COMPREPLY[*]} \" == *' -w '* ]]
  cd '$prefix/bin'; COMP_WORDS=(zamplet a b z); COMP_CWORD=3; _zamplet; [[ \${COMPREPLY[*]} == zamplet ]]
  COMP_WORDS=(zamplet -t z); COMP_CWORD=2; _zamplet; [[ \${COMPREPLY[*]} == zamplet ]]"
echo "1 passed, 0 failed"
