"""
HCQT channels of a harmonic tone
================================

:func:`vexolin.hcqt_magnitude` stacks constant-Q transforms whose lowest
bins lie at ``harmonics[i] * fmin``, one channel per harmonic, computed
together (one set of halved signals, each frame transformed once per rate
and FFT size any channel reads). In channel ``h``, bin ``k`` is the energy
at ``h`` times bin ``k``'s frequency in channel 1; so a harmonic tone whose
fundamental sits in bin ``k`` lights bin ``k`` in every channel whose
harmonic it has, which is what deep-salience pitch models read. Here a tone
at A2 with six partials, then one at E3 with only odd partials, is drawn one
panel per harmonic; each channel equals its own :func:`vexolin.cqt_magnitude`
bit for bit.
"""

import matplotlib.pyplot as plt
import numpy as np

import vexolin
import vexolin.plot

SR = 22050
HOP = 256
HARMONICS = (0.5, 1, 2, 3, 4, 5)
FMIN = 55.0  # A1
N_BINS = 4 * 24
BPO = 24


def tone(f0, partials, seconds=1.5):
    t = np.arange(int(seconds * SR)) / SR
    sound = sum(np.sin(2 * np.pi * k * f0 * t) / k for k in partials)
    return sound * np.minimum(1, 30 * t) * np.exp(-0.8 * t)


first_tone = tone(110.0, range(1, 7))  # A2, six partials
second_tone = tone(164.81, (1, 3, 5))  # E3, odd partials only
y = np.concatenate([first_tone, second_tone]).astype(np.float32) * 0.2
layout = dict(hop_length=HOP, n_bins=N_BINS, bins_per_octave=BPO)
H = vexolin.hcqt_magnitude(y, sr=SR, fmin=FMIN, harmonics=HARMONICS,
                           **layout)
print("shape (harmonics, bins, frames):", H.shape)

for i, h in enumerate(HARMONICS):
    own = vexolin.cqt_magnitude(y, sr=SR, fmin=h * FMIN, **layout)
    # Bit for bit, on the frames all channels have:
    assert np.array_equal(H[i], own[:, :H.shape[2]])

# %%
# Where each channel sees the two tones
# -------------------------------------
# Bin 24 (an octave of 24 bins above A1) is A2, the first tone's
# fundamental; bin 38 is E3, the second's. Relative to channel 1 there, the
# channels read the partials, falling as their amplitudes fall, nothing
# at half the fundamental, and nothing in channels 2 and 4 for the second
# tone, which has no even partials.

a2 = BPO
e3 = BPO + 7 * BPO // 12
half = H.shape[2] // 2
first = H[:, a2, 10:half - 10].mean(axis=1)
second = H[:, e3, half + 10:-10].mean(axis=1)
one = HARMONICS.index(1)
for i, h in enumerate(HARMONICS):
    print(f"h={h}: A2 tone {first[i] / first[one]:.2f}, "
          f"E3 tone {second[i] / second[one]:.2f} of channel 1")

# %%
# One panel per harmonic
# ----------------------
# Every panel is drawn on channel 1's note axis: bin ``k`` of channel ``h``
# reads ``h`` times the frequency of channel 1's bin ``k``. A line at A2 in
# panel ``h`` is the ``h``-th partial of the A2 tone, so the fundamentals
# line up across panels, and the E3 tone's line is missing in panels 2 and 4.

fig, axes = plt.subplots(len(HARMONICS), 1, figsize=(8, 10),
                         sharex=True, layout="constrained")
for ax, h, channel in zip(axes, HARMONICS, H):
    vexolin.plot.cqt(channel, sr=SR, hop_length=HOP, fmin=FMIN,
                     bins_per_octave=BPO, ax=ax)
    ax.set_title(f"harmonic {h}: each bin reads {h} x the frequency "
                 "of its note", fontsize=9)
    ax.set_xlabel("")
axes[-1].set_xlabel("Time")
plt.show()
