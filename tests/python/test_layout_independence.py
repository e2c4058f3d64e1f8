"""A bin's value does not depend on how many bins lie above it: a tone at a
bin's centre reads the same level whether the transform stops well below
the Nyquist limit or runs right up to it, for every rate, bins per octave,
filter scale and bandwidth offset."""

import math

import numpy as np
import pytest

import vexolin

A2 = 110.0
HOP = 256
SECONDS = 6.0
TOLERANCE = 1e-3
# Widened bands spread an octave's filter lengths over more than a factor of
# two, so a bin's FFT size (set by the longest kernel of its octave) changes
# with the octaves' grouping, and the sparsified kernel with it: about 1e-3
# even when no octave is halved at all.
TOLERANCE_WIDENED = 1.5e-3


def widest_n_bins(sr, bpo, gamma, filter_scale):
    """The most bins from A2 the transform takes at this rate."""
    n = int(bpo * math.log2(0.5 * sr / A2)) + 1
    y = np.zeros(HOP, np.float32)
    while True:
        try:
            vexolin.vqt_magnitude(y, sr=sr, hop_length=HOP, fmin=A2, n_bins=n, bins_per_octave=bpo,
                                  gamma=gamma, filter_scale=filter_scale)
            return n
        except ValueError:
            n -= 1


@pytest.mark.parametrize("sr", [16000, 22050, 44100, 48000])
@pytest.mark.parametrize("bpo", [12, 36, 60])
@pytest.mark.parametrize("gamma,filter_scale", [(0.0, 1.0), (0.0, 0.5), (0.0, 2.0), (None, 1.0)],
                         ids=["cqt", "scale-0.5", "scale-2", "erb"])
def test_tones_at_bin_centres_read_the_same_level_up_to_the_nyquist_limit(sr, bpo, gamma, filter_scale):
    wide = widest_n_bins(sr, bpo, gamma, filter_scale)
    narrow = int(bpo * math.log2(0.45 * 0.5 * sr / A2)) + 1  # top bin under 0.45 of the limit
    # The top bin of every octave of the wide layout that the narrow one also has.
    tones = [k for k in range(wide - 1 - bpo, -1, -bpo) if k < narrow]
    t = np.arange(int(sr * SECONDS)) / sr
    y = sum(np.sin(2 * np.pi * A2 * 2 ** (k / bpo) * t) for k in tones).astype(np.float32)
    kw = dict(sr=sr, hop_length=HOP, fmin=A2, bins_per_octave=bpo, gamma=gamma, filter_scale=filter_scale)
    full = vexolin.vqt_magnitude(y, n_bins=wide, **kw)
    clear = vexolin.vqt_magnitude(y, n_bins=narrow, **kw)
    interior = slice(full.shape[1] // 3, 2 * full.shape[1] // 3)  # frames whose kernels lie inside the signal
    for k in tones:
        level = np.median(clear[k, interior])
        assert level > 0.1
        tolerance = TOLERANCE if gamma == 0.0 else TOLERANCE_WIDENED
        assert abs(np.median(full[k, interior]) - level) <= tolerance * level, (k, wide)
