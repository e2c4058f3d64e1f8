#!/usr/bin/env bash
# `make dist`: the sdist in BUILD_DIR/dist, and what it promises:
#  1. built, and a wheel built from it, with npm and node out of reach (so the
#     sdist must carry the FFT library's sources) and no download (the
#     project's venv is the build environment);
#  2. it carries LICENSE with PFFFT's notice, named in its metadata;
#  3. that wheel installed with its plot and batch extras into a scratch venv
#     and used there (tools/smoke_installed.sh);
#  4. in a checkout without the sources and without npm, `pip install .` stops
#     at configure with one message naming the sdist and VEXOLIN_PFFFT_DIR, and
#     VEXOLIN_PFFFT_DIR in the environment reaches the build.
# Usage: tools/check_dist.sh PYTHON BUILD_DIR  (PYTHON: the project's .venv python)
set -euo pipefail
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/tools
step() { echo "== $1 (${SECONDS}s)"; }

# The verified sources the configured build uses go into the sdist.
pffft_dir=$(sed -n 's/^VEXOLIN_PFFFT_DIR:PATH=//p' "$build/CMakeCache.txt")
for dir in "$pffft_dir" "$build/_deps/pffft/package/src" "$root/third_party/pffft"; do
  if [ -n "$dir" ] && [ -f "$dir/pffft.c" ] && [ -f "$dir/pffft.h" ]; then break; fi
done
if [ ! -f "$dir/pffft.c" ]; then
  echo "error: no pffft.c/pffft.h found; run 'make build' first" >&2
  exit 1
fi
if [ "$dir" != "$root/third_party/pffft" ]; then
  mkdir -p "$root/third_party/pffft"
  cp "$dir/pffft.c" "$dir/pffft.h" "$root/third_party/pffft/"
fi

dist=$build/dist
no_npm=$build/dist-path-without-npm
rm -rf "$dist" "$no_npm"
"$tools/path_without.sh" "$no_npm" npm npx 'node(js)?'
if PATH=$no_npm command -v npm >/dev/null || PATH=$no_npm command -v node >/dev/null; then
  echo "error: npm or node still on PATH" >&2; exit 1
fi

step "sdist, and a wheel from it, without npm or node (log: $build/dist.log)"
# CMake looks for npm in the system's folders too, whatever PATH says.
PATH=$no_npm "$python" -m build --no-isolation --outdir "$dist" -C cmake.define.VEXOLIN_NPM=/nonexistent/npm "$root" \
  > "$build/dist.log" 2>&1 || { tail -40 "$build/dist.log"; exit 1; }
sdist=$(ls "$dist"/vexolin-*.tar.gz)
wheel=$(ls "$dist"/vexolin-*.whl)
contents=$(tar -tzf "$sdist")
for file in third_party/pffft/pffft.c third_party/pffft/pffft.h LICENSE; do
  grep -q "^vexolin-[^/]*/$file\$" <<<"$contents" || { echo "error: $sdist lacks $file" >&2; exit 1; }
done
metadata=$(tar -xOzf "$sdist" --wildcards '*/PKG-INFO')
grep -qx 'License-Expression: BSD-3-Clause' <<<"$metadata" && grep -qx 'License-File: LICENSE' <<<"$metadata" \
  || { echo "error: $sdist's PKG-INFO names no licence" >&2; exit 1; }
# grep reads it all: with -q it could leave while tar still writes, and
# pipefail would take tar's SIGPIPE for a missing notice.
tar -xOzf "$sdist" --wildcards '*/LICENSE' | grep "Julien Pommier" >/dev/null \
  || { echo "error: $sdist's LICENSE lacks PFFFT's notice" >&2; exit 1; }

step "the sdist's wheel in a scratch venv"
venv=$build/wheel-venv
"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[plot,batch]"
"$tools/smoke_installed.sh" "$venv"

step "pip install . in a checkout without npm"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/checkout"
(cd "$root" && git ls-files -co --exclude-standard -z | tar -c --null -T - -f -) | tar -x -C "$scratch/checkout"
attempt() {  # prints pip's output; fails when pip did not
  (cd "$scratch" && ! env PATH="$no_npm" "$@" "$python" -m pip install --no-build-isolation --no-deps \
     --disable-pip-version-check --target "$scratch/target" "$scratch/checkout" 2>&1)
}
said=$(attempt env -u VEXOLIN_PFFFT_DIR) || { echo "error: pip install . without npm did not fail" >&2; exit 1; }
errors=$(grep -c "CMake Error" <<<"$said" || true)
if [ "$errors" != 1 ] || ! grep -q "pip install vexolin-<version>.tar.gz" <<<"$said" \
   || ! grep -q "VEXOLIN_PFFFT_DIR=/path/to/dir pip install ." <<<"$said" || ! grep -q "node" <<<"$said"; then
  echo "$said"; echo "error: pip install . without npm did not end with the one message" >&2; exit 1
fi
sed -n '/CMake Error/,/VEXOLIN_PFFFT_DIR=\/path/p' <<<"$said"
said=$(attempt env VEXOLIN_PFFFT_DIR="$scratch/nowhere") || { echo "error: pip install . did not fail" >&2; exit 1; }
grep -q "VEXOLIN_PFFFT_DIR=$scratch/nowhere: pffft.c and pffft.h" <<<"$said" \
  || { echo "$said"; echo "error: VEXOLIN_PFFFT_DIR from the environment did not reach CMake" >&2; exit 1; }
step "dist ok: $(basename "$sdist") builds offline, and $(basename "$wheel") from it installs and runs"
