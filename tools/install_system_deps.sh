#!/usr/bin/env bash
# Installs the Debian packages the build needs when any of them is missing:
# compilers, CMake, Ninja, npm (to fetch the FFT library) and GoogleTest.
set -euo pipefail

missing=()
command -v g++   >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v npm   >/dev/null 2>&1 || missing+=(npm)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)

if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

echo "installing system packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
    echo "error: need root (or sudo) to install: ${missing[*]}" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
