#!/usr/bin/env bash
# Creates (or re-creates, when it holds another Python) the project's virtual
# environment with the given CPython 3.13 and installs the pinned requirements.
set -euo pipefail
python=$1
venv=$2
requirements=$3

if [ -x "$venv/bin/python" ] && ! "$venv/bin/python" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)'; then
  echo "$venv holds another Python; re-creating it"
  rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --disable-pip-version-check -r "$requirements"
