#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: $PYTHON if given, else the
# newest pyenv 3.13.x, else python3.13 on PATH. Exits non-zero with a message
# when none is found.
set -euo pipefail

is_313() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' 2>/dev/null
}

if [ -n "${PYTHON:-}" ]; then
  if is_313 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  echo "error: PYTHON=$PYTHON is not a working CPython 3.13 interpreter" >&2
  exit 1
fi

candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  while IFS= read -r p; do candidates+=("$p"); done < <(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r)
elif [ -d "${PYENV_ROOT:-$HOME/.pyenv}/versions" ]; then
  while IFS= read -r p; do candidates+=("$p"); done < <(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r)
fi
if command -v python3.13 >/dev/null 2>&1; then candidates+=("$(command -v python3.13)"); fi

for p in "${candidates[@]}"; do
  if is_313 "$p"; then echo "$p"; exit 0; fi
done

echo "error: no CPython 3.13 found (looked under pyenv's versions/3.13.* and for python3.13 on PATH);" >&2
echo "       install one or pass it explicitly: make PYTHON=/path/to/python3.13 ..." >&2
exit 1
