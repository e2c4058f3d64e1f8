#!/usr/bin/env bash
# Installs Debian's chromium when it is missing: the docs' browser check
# (make docs-check) drives it headless.
set -euo pipefail
if command -v chromium >/dev/null 2>&1; then exit 0; fi
echo "installing system package: chromium"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
    echo "error: need root (or sudo) to install chromium" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends chromium
