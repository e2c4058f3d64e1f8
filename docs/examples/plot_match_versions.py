"""
Finding passages of other versions across a collection
======================================================

Six short pieces of chords with harmonics go into a CENS store; a version of
one of them, a minor third higher and so faster (resampled), with another
timbre, is cut into 8-s queries, and :func:`vexolin.match` finds each in the
original, with the shift and tempo that bring it back. The figure shows
where each query was cut against where it was found.
"""

import os
import tempfile

import matplotlib.pyplot as plt
import numpy as np
import soundfile
import soxr

import vexolin
from vexolin import batch

SR = 22050


def piece(seed, seconds, harmonics=(1.0, 0.5, 0.33, 0.25)):
    """Random triads, a new one every half second, each note with its harmonics."""
    rng = np.random.default_rng(seed)
    t = np.arange(SR // 2) / SR
    fade = np.minimum(1.0, np.minimum(t, t[::-1]) / 0.02)
    chords = []
    for _ in range(int(2 * seconds)):
        root = rng.integers(48, 60)
        notes = root + np.array([0, 4 if rng.random() < 0.5 else 3, 7])
        chords.append(fade * sum(w * np.sin(2 * np.pi * 440 * 2 ** ((n - 69) / 12) * (h + 1) * t)
                                 for n in notes for h, w in enumerate(harmonics)))
    y = np.concatenate(chords)
    return (0.3 * y / np.abs(y).max()).astype(np.float32)


music = tempfile.mkdtemp()
for k in range(6):
    soundfile.write(os.path.join(music, f"piece{k}.wav"), piece(k, 40), SR)
store = os.path.join(tempfile.mkdtemp(), "cens.zarr")
batch.extract(music, out=store, feature="cens", progress=False)

# Piece 4 again, brighter, then resampled: played at SR it is 3 semitones up
# and 2**(3/12) times faster.
version = soxr.resample(piece(4, 40, harmonics=(1.0, 0.9, 0.8, 0.7, 0.6)), SR, SR / 2 ** (3 / 12))
cut, found = [], []
for start in np.arange(1.0, len(version) / SR - 9.0, 3.0):
    query = version[int(start * SR):int((start + 8.0) * SR)]
    best = vexolin.match(query, store, sr=SR, top_k=1)[0]
    cut.append(start * 2 ** (3 / 12))  # where the passage is in the original
    found.append(best.start)
    print(f"cut at {start:4.1f} s -> {os.path.basename(best.path)} at {best.start:5.2f} s, "
          f"shift {best.shift:+d}, tempo {best.tempo:.2f}, score {best.score:.3f}")

fig, ax = plt.subplots(figsize=(5, 4), layout="constrained")
ax.plot(cut, found, "o", label="best match")
ax.plot([0, 40], [0, 40], color="0.7", zorder=0, label="its place in the original")
ax.set(xlabel="the passage's place in piece4.wav (s)", ylabel="the best match's start (s)",
       title="8-s queries from a transposed, faster version")
ax.legend()
plt.show()
