#!/usr/bin/env bash
# Fills DIR with links to every command on PATH except those whose names match
# one of the given extended regular expressions, so that PATH=DIR is this
# machine's PATH without them (first match wins, as in a PATH lookup).
# Usage: tools/path_without.sh DIR REGEX...
set -euo pipefail
dir=$1; shift
pattern="^($(IFS='|'; echo "$*"))\$"
mkdir -p "$dir"
IFS=: read -ra entries <<<"$PATH"
for entry in "${entries[@]}"; do
  [ -d "$entry" ] || continue
  for cmd in "$entry"/*; do
    name=${cmd##*/}
    [ -x "$cmd" ] && [ ! -d "$cmd" ] || continue
    [[ $name =~ $pattern ]] && continue
    [ -e "$dir/$name" ] || ln -s "$cmd" "$dir/$name"
  done
done
