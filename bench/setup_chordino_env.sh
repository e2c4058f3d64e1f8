#!/usr/bin/env bash
# Creates the chord benchmark's peer environment: CPython 3.11 from pyenv
# (the peer's packages build for no newer one) with the pinned
# bench/requirements-chordino.txt. Separate from the project's .venv; the
# benchmark only runs it (bench/chordino_worker.py) and reads its output.
# Usage: bench/setup_chordino_env.sh [VENV_DIR]   (default bench/.chordino-venv)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
venv=${1:-$here/.chordino-venv}
requirements=$here/requirements-chordino.txt
python=${CHORDINO_PYTHON:-}
if [ -z "$python" ]; then
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  python=$(ls -d "$root"/versions/3.11.*/bin/python3.11 2>/dev/null | sort -V | tail -1 || true)
fi
if [ -z "$python" ] || [ ! -x "$python" ]; then
  echo "setup_chordino_env: no CPython 3.11 found (pyenv install 3.11, or set CHORDINO_PYTHON)" >&2
  exit 1
fi
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
# The vamp host's setup script imports numpy, so numpy comes first and the
# rest is built against it.
"${pip[@]}" "$(grep '^numpy==' "$requirements")" wheel==0.48.0 setuptools==65.5.0
"${pip[@]}" --no-build-isolation -r "$requirements"
cp "$requirements" "$venv/.requirements.stamp"
"$venv/bin/python" -c 'import chord_extractor, vamp; print("chordino environment ready")'
