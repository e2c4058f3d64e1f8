#!/usr/bin/env bash
# Uses an installed vexolin (with its plot and batch extras) as a user would,
# from a scratch folder away from the sources: both native modules where the
# wheel puts them, the run-time choice of instruction set, the licence
# notices, a chroma of a file through the package and the command line, and
# a batch run read back.
# Usage: tools/smoke_installed.sh VENV
set -euo pipefail
venv=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

"$venv/bin/python" - <<'PY'
import ctypes, glob, importlib.metadata as md, os
import numpy as np, soundfile
import _vexolin, vexolin
from vexolin import _native

site = os.path.dirname(vexolin.__path__[0])
assert os.path.dirname(_vexolin.__file__) == site, _vexolin.__file__
assert os.path.dirname(_native.__file__) == os.path.join(site, "vexolin"), _native.__file__
for name in ("_vexolin.pyi", "vexolin/_native.pyi", "vexolin/py.typed"):
    assert os.path.isfile(os.path.join(site, name)), name

# The FFT takes its AVX2 build exactly where the processor has AVX2.
engine = ctypes.CDLL(glob.glob(os.path.join(site, "vexolin", "libvexolin_engine*.so*"))[0])
uses_avx2 = engine._ZN6morvat7vexolin13fft_uses_avx2Ev
uses_avx2.restype = ctypes.c_bool
with open("/proc/cpuinfo") as f:
    has_avx2 = " avx2" in f.read()
assert uses_avx2() == has_avx2, (uses_avx2(), has_avx2)

# Both notices travel with the package.
notices = {os.path.basename(str(p)): p.read_text() for p in md.files("vexolin") if "/licenses/" in str(p)}
assert "BSD" in notices["LICENSE"] and "Julien Pommier" in notices["LICENSE"], sorted(notices)

# An engine error reaches Python as the exception it was thrown as.
y = np.random.default_rng(0).standard_normal(4096).astype(np.float32)
try:
    _vexolin.chroma_cqt(y, -1.0, 512, 36, 7, 12, 0.0)
except ValueError as e:
    assert "sr" in str(e), e
else:
    raise AssertionError("a negative rate was accepted")
chroma = _native.Transform(hop=512, fmin=32.70319566257483, n_bins=7 * 36, bins_per_octave=36, output="chroma")
assert _native.compute(chroma, y, 22050.0, 2).tobytes() == \
    _vexolin.chroma_cqt(y, 22050.0, 512, 36, 7, 12, 0.0).tobytes()

sr = 22050
tone = np.sin(2 * np.pi * 440.0 * np.arange(sr) / sr)
soundfile.write("tone.wav", tone, sr)
y, file_sr = vexolin.load("tone.wav")
chroma = vexolin.chroma_cqt(y, sr=file_sr)
assert chroma.shape == (12, 44) and chroma.mean(axis=1).argmax() == 9, chroma.shape
print(f"vexolin {vexolin.__version__} from {site}: modules, AVX2 choice ({has_avx2}), notices, chroma ok")
PY
"$venv/bin/vexolin" chroma tone.wav --plot tone.png -o tone.npy --quiet
"$venv/bin/python" -c "import numpy as np; c = np.load('tone.npy'); assert c.shape == (12, 44) and c.mean(axis=1).argmax() == 9"
test -s tone.png
mkdir songs && cp tone.wav songs/a.wav && cp tone.wav songs/b.wav
"$venv/bin/vexolin" batch songs --out songs.zarr --workers 2 --quiet
"$venv/bin/python" -c "
from vexolin import batch
s = batch.open('songs.zarr')
assert len(s) == 2 and all(v.shape == (12, 44) for v in s.values()), len(s)"
echo "smoke ok: import, native errors, chroma of a file, CLI with plot, batch of a folder"
