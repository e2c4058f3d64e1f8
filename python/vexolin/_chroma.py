"""Chroma in NumPy around the native folding: CQT magnitudes the caller
already has folded onto pitch classes (by the native rows), the frame
normalisations and the threshold, the CENS variant, and the one rule of
every chroma view. No native code."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

#: The norms a chroma frame can be scaled by: its largest value, the sum of
#: its values, its Euclidean length, or none.
NORMS = ("inf", 1, 2, None)

# Frames whose norm is at or below this are left as they are (the native
# normalisation's silence level, float32 1e-20).
_SILENCE = np.float32(1e-20)

# CENS: quantisation steps of the l1-normalised chroma.
_CENS_STEPS = (0.05, 0.1, 0.2, 0.4)


def check_norm(name: str, value: object) -> str | int | None:
    """``value`` as one of :data:`NORMS` (``np.inf`` and ``"inf"`` are the same)."""
    if value is None or (isinstance(value, str) and value.lower() == "none"):
        return None
    if isinstance(value, str):
        value = value.strip().lower()
        if value in ("inf", "max"):
            return "inf"
        try:
            value = float(value)
        except ValueError:
            pass
    if isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_)):
        if math.isinf(value) and value > 0:
            return "inf"
        if value in (1, 2):
            return int(value)
    raise ValueError(f"{name} must be np.inf, 1, 2 or None, got {value!r}")


def check_threshold(name: str, value: object) -> float:
    """``value`` as a fraction in [0, 1)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number in [0, 1), got {value!r}")
    x = float(value)
    if not 0.0 <= x < 1.0:
        raise ValueError(f"{name} must be in [0, 1) (a fraction of the largest value), got {value!r}")
    return x


def fold(magnitudes: npt.NDArray[np.float32], rows: npt.NDArray[np.integer], n_chroma: int) -> npt.NDArray[np.float32]:
    """Magnitudes (..., n_bins, n_frames) summed onto (..., n_chroma, n_frames),
    in ascending bin order; ``rows`` gives each bin's (-1: none), as the
    native ``chroma_rows`` gives them."""
    out = np.zeros(magnitudes.shape[:-2] + (n_chroma, magnitudes.shape[-1]), dtype=np.float32)
    for b, row in enumerate(rows):
        if row >= 0:
            out[..., row, :] += magnitudes[..., b, :]
    return out


def normalise(folded: npt.NDArray[np.float32], norm: Any, threshold: float) -> npt.NDArray[np.float32]:
    """Folded chroma (..., n_chroma, n_frames) with values below ``threshold``
    times the largest of each channel set to 0, then each frame scaled to
    ``norm`` 1 (frames at the silence level stay as they are)."""
    chroma = np.array(folded, dtype=np.float32)
    if threshold > 0.0:
        peak = np.abs(chroma).max(axis=(-2, -1), keepdims=True) if chroma.size else np.zeros(1, np.float32)
        chroma[np.abs(chroma) < np.float32(threshold) * peak] = 0.0
    if norm is None:
        return chroma
    a = np.abs(chroma)
    size = a.max(axis=-2, keepdims=True) if norm == "inf" else \
        a.sum(axis=-2, keepdims=True) if norm == 1 else np.sqrt((a * a).sum(axis=-2, keepdims=True))
    # One float32 reciprocal per frame, then a multiplication: as the native chroma.
    scale = np.float32(1.0) / np.where(size > _SILENCE, size, np.float32(1.0))
    chroma *= scale
    return chroma


def cens(chroma: npt.NDArray[np.float32], win_len_smooth: int) -> npt.NDArray[np.float32]:
    """Chroma energy-normalised statistics of chroma (..., n_chroma, n_frames):
    each frame l1-normalised, quantised at 0.05, 0.1, 0.2 and 0.4, smoothed
    along time with a Hann window of ``win_len_smooth`` frames, l2-normalised."""
    x = np.abs(np.asarray(chroma, dtype=np.float64))
    total = x.sum(axis=-2, keepdims=True)
    x = x / np.where(total > 0.0, total, 1.0)
    levels = sum((x > step).astype(np.float64) for step in _CENS_STEPS)
    # Hann without its zero ends, centred on each frame: only its taps within
    # n - 1 frames of the centre meet a frame (the rest meet the zeros beyond
    # the ends), so a window longer than the signal costs no more than it.
    n = levels.shape[-1]
    centre = win_len_smooth - 1 - (win_len_smooth - 1) // 2  # the tap that reads the frame itself
    first, last = max(0, centre - (n - 1)), min(win_len_smooth, centre + n)
    size = float(win_len_smooth + 2)
    taps = (1.0 - size) + 2.0 * np.arange(first + 1, last + 1, dtype=np.float64)
    window = 0.5 + 0.5 * np.cos(np.pi * taps / (size - 1.0))  # np.hanning(win_len_smooth + 2)[first + 1: last + 1]
    window /= window.sum()  # the final scaling makes any sum the same
    padded = np.zeros(levels.shape[:-1] + (3 * n - 2,))
    padded[..., n - 1: 2 * n - 1] = levels
    smooth = np.zeros_like(levels)
    for j in range(last - 1, first - 1, -1):  # tap j reads the frame centre - j later
        start = n - 1 + centre - j
        smooth += window[j - first] * padded[..., start: start + n]
    length = np.sqrt((smooth * smooth).sum(axis=-2, keepdims=True))
    out: npt.NDArray[np.float32] = (smooth / np.where(length > 0.0, length, 1.0)).astype(np.float32)
    return out


#: Every chroma view (``vexolin.plot.chromagram``, the command line's text
#: picture and ``--plot``) draws values below this fraction of the largest
#: folded sum as 0, so fades and silence are dark instead of scaled up to
#: full-scale noise.
QUIET = 0.05


def for_view(sums: npt.NDArray[np.float32], threshold: float = QUIET) -> npt.NDArray[np.float32]:
    """What a view draws of chroma sums (..., n_chroma, n_frames): values below
    ``threshold`` times the largest set to 0, then each frame scaled to its
    largest value."""
    return normalise(sums, "inf", threshold)


def scaled_per_frame(chroma: npt.NDArray[np.floating]) -> bool:
    """Whether every frame of (n_chroma, n_frames) chroma that is not silent
    has a largest value, sum or Euclidean length of 1, as the norms leave
    them: such chroma no longer tells a quiet frame from a loud one."""
    a = np.abs(np.asarray(chroma, dtype=np.float64))
    sizes = (a.max(axis=-2), a.sum(axis=-2), np.sqrt((a * a).sum(axis=-2)))
    sounding = sizes[0] > float(_SILENCE)
    if np.count_nonzero(sounding) < 2:
        return False
    return any(bool(np.all(np.abs(size[sounding] - 1.0) < 1e-4)) for size in sizes)
