"""
A constant-Q transform with note axes
=====================================

The CQT's bins are spaced like the keys of a piano: ``bins_per_octave`` to an
octave, so every note has its row whatever its octave. Here a rising arpeggio
of harmonic tones (each with five partials) is transformed at 12 and at 36
bins per octave, and each note's row is read off by name.
"""

import matplotlib.pyplot as plt
import numpy as np

import vexolin
import vexolin.plot

SR = 22050
# A minor arpeggio from A2 to A5, a quarter of a second a note.
midi = [45, 48, 52, 57, 60, 64, 69, 72, 76, 81]
names = vexolin.hz_to_note([440.0 * 2 ** ((n - 69) / 12) for n in midi])
t = np.arange(int(0.25 * SR)) / SR
y = np.concatenate([
    sum(np.sin(2 * np.pi * k * 440.0 * 2 ** ((n - 69) / 12) * t) / k for k in range(1, 6)) * np.hanning(len(t))
    for n in midi]).astype(np.float32)
print(" ".join(names))

# %%
# Twelve bins per octave
# ----------------------
# From C2 (``fmin``) over five octaves, hop 256 (a multiple of 2**4, so the
# rate halves between all five octaves). ``vexolin.plot.cqt`` labels each
# octave's C and draws decibels below the peak.

fmin = 2 * vexolin.C1_HZ  # C2, 65.4 Hz
M = vexolin.cqt_magnitude(y, sr=SR, hop_length=256, fmin=fmin, n_bins=60, bins_per_octave=12)
fig, ax = plt.subplots(figsize=(8, 4), layout="constrained")
vexolin.plot.cqt(M, sr=SR, hop_length=256, fmin=fmin, bins_per_octave=12, ax=ax)
ax.set_title("CQT, 12 bins per octave from C2")

# %%
# Each note's strongest bin, by name:

bins = vexolin.bin_notes(60, fmin=fmin)
frames = vexolin.times_like(M, sr=SR, hop_length=256)
centres = (np.arange(len(midi)) + 0.5) * 0.25
strongest = [bins[int(M[:, np.argmin(abs(frames - c))].argmax())] for c in centres]
print(" ".join(strongest))
assert strongest == names

# %%
# Thirty-six bins per octave
# --------------------------
# Three bins to a semitone resolve how far off the tempered grid a partial
# lies: the 5th partial of A2 (a major third two octaves up, C#5) sits 14
# cents below the tempered C#5, between rows. ``bin_notes`` names the bins
# between semitones by their offset in cents.

M36 = vexolin.cqt_magnitude(y, sr=SR, hop_length=256, fmin=fmin, n_bins=180, bins_per_octave=36)
print(vexolin.bin_notes(180, fmin=fmin, bins_per_octave=36)[:4])
fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
vexolin.plot.cqt(M36, sr=SR, hop_length=256, fmin=fmin, bins_per_octave=36, ax=ax)
ax.set_title("CQT, 36 bins per octave")
plt.show()
