#!/usr/bin/env bash
# Creates the benchmark's peer environment (librosa, for speed comparisons
# only) from the pinned bench/requirements-peer.txt. It is separate from the
# project's .venv, and the project never imports anything from it.
# Usage: bench/setup_peer_env.sh [VENV_DIR]   (default bench/.peer-venv)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
venv=${1:-$here/.peer-venv}
requirements=$here/requirements-peer.txt
# Any CPython that the pinned wheels support will do; the project's 3.13 is one.
python=${PEER_PYTHON:-$("$here/../tools/find_python.sh")}

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
cp "$requirements" "$venv/.requirements.stamp"
"$venv/bin/python" -c 'import librosa; print("peer environment ready: librosa", librosa.__version__)'
