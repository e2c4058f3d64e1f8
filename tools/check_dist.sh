#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel with npm out of reach (so the sdist
# must carry the FFT library's sources), installs the wheel with its plot and
# batch extras into a scratch venv and uses both modules and the command line there.
# Usage: tools/check_dist.sh PYTHON BUILD_DIR  (PYTHON: the project's .venv python)
set -euo pipefail
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)

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

dist="$build/dist"
rm -rf "$dist"
"$python" -m build --no-isolation --outdir "$dist" -C cmake.define.VEXOLIN_NPM=/nonexistent/npm "$root" \
  > "$build/dist.log" 2>&1 || { tail -40 "$build/dist.log"; exit 1; }
sdist=$(ls "$dist"/vexolin-*.tar.gz)
wheel=$(ls "$dist"/vexolin-*.whl)
contents=$(tar -tzf "$sdist")
grep -q '/third_party/pffft/pffft\.c$' <<<"$contents" || { echo "error: $sdist lacks pffft.c" >&2; exit 1; }

venv="$build/wheel-venv"
"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[plot,batch]"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"  # away from the source tree: everything comes from the wheel
"$venv/bin/python" - <<'PY'
import os
import numpy as np, soundfile
import _vexolin, vexolin
from vexolin import _native
site = os.path.dirname(vexolin.__path__[0])
assert os.path.dirname(_vexolin.__file__) == site, _vexolin.__file__
assert os.path.dirname(_native.__file__) == os.path.join(site, "vexolin"), _native.__file__
for name in ("_vexolin.pyi", "vexolin/_native.pyi", "vexolin/py.typed"):
    assert os.path.isfile(os.path.join(site, name)), name
y = np.random.default_rng(0).standard_normal(4096).astype(np.float32)
assert _native.chroma_cqt(y, 22050.0, 512, 36, 7, 12, 0.0, 2).tobytes() == _vexolin.chroma_cqt(y, 22050.0, 512, 36, 7, 12, 0.0).tobytes()
sr = 22050
soundfile.write("tone.wav", np.sin(2 * np.pi * 440.0 * np.arange(sr) / sr), sr)
PY
"$venv/bin/vexolin" chroma tone.wav --plot tone.png -o tone.npy --quiet
"$venv/bin/python" -c "import numpy as np; c = np.load('tone.npy'); assert c.shape == (12, 44) and c.mean(axis=1).argmax() == 9"
test -s tone.png
"$venv/bin/vexolin" batch tone.wav --out tone.zarr --workers 1 --quiet
"$venv/bin/python" -c "from vexolin import batch; s = batch.open('tone.zarr'); assert len(s) == 1 and next(iter(s.values())).shape == (12, 44)"
echo "dist ok: $(basename "$sdist") and $(basename "$wheel") install and run"
