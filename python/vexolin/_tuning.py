"""Tuning: how far a recording's pitches lie from A440 equal temperament,
as a fraction of a semitone in [-0.5, 0.5), whatever the bin resolution of
the transform it is later used with.

The estimate reads a bounded number of analysis frames spread over the
signal (in each stretch, the loudest of a few candidates), finds the
spectral peaks of each through a Gaussian window, whose log-magnitude
peaks are parabolas, so three bins give a peak's frequency to a small
fraction of a bin, and takes the mode of the peaks' deviations from the
nearest equal-tempered semitone, weighted by magnitude (in a histogram
smoothed over several cents) and refined by the weighted mean around it.
Its cost and memory do not grow with the signal's length. Estimates are rounded to whole cents, so a collection gives at most
100 distinct tunings, and so at most 100 kernel bases per parameter set.
"""

from __future__ import annotations

import functools
import math
import os
import threading
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._checks import positive_float, refuses_foreign_keywords, sr_required
from vexolin._io import MAX_SAMPLE_RATE, read_blocks
from vexolin._samples import check_samples, signal
from vexolin._docs import fill

#: Cents per semitone: estimates are whole cents.
CENTS = 100

# Analysis frames: about 0.37 s (the next power of two at the rate), so
# partials of the lowest notes considered lie many bins apart.
_FRAME_SECONDS = 0.37
# At most this many frames per signal, each the loudest of a few candidates
# in its stretch; in blocks of _BLOCK frames to bound memory.
_MAX_FRAMES = 40
_CANDIDATES = 4
_BLOCK = 8
# The window's width: a Gaussian of standard deviation n / 8 falls to about
# -70 dB at the frame's ends.
_SIGMA_FRACTION = 1.0 / 8.0
# Peaks more than this below the frame's loudest are not read.
_FLOOR_DB = 40.0
# The histogram is smoothed by a Gaussian of this many cents (taps to
# +-12): sampled instruments spread their notes' tunings over several cents
# (ensembles and vibrato; samples of one instrument tuned a few cents apart),
# and the mode of a narrower smoothing jumps between their clusters as the
# audio is shifted.
_SMOOTH_CENTS = 8.0
_SMOOTH_TAPS = np.exp(-0.5 * (np.arange(-12, 13) / _SMOOTH_CENTS) ** 2)
# Around the mode, deviations within this many cents make the mean: the 5th
# and 7th partials of harmonic tones (14 and 31 cents flat) stay outside.
_REFINE_CENTS = 10.0


def wrap(tuning: float) -> float:
    """``tuning`` in semitones, wrapped into [-0.5, 0.5)."""
    return tuning - math.floor(tuning + 0.5)


def to_cents(tuning: float) -> float:
    """``tuning`` rounded to whole cents, wrapped into [-0.5, 0.5)."""
    return wrap(round(wrap(tuning) * CENTS) / CENTS)


def check_tuning(name: str, value: object) -> float:
    """A tuning given by the caller: a finite number in [-0.5, 0.5)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of semitones in [-0.5, 0.5), got {value!r}")
    x = float(value)
    if not (-0.5 <= x < 0.5):
        raise ValueError(f"{name} must be a fraction of a semitone in [-0.5, 0.5), got {value!r} "
                         "(it is in semitones whatever bins_per_octave is: 0.1 is 10 cents)")
    return x


def tuned_fmin(fmin: float, tuning: float) -> float:
    """The lowest bin moved by ``tuning`` semitones."""
    return fmin if tuning == 0.0 else fmin * 2.0 ** (tuning / 12.0)


def frame_length(rate: float) -> int:
    """Samples of an analysis frame at ``rate``: about 0.37 s, a power of two."""
    return 1 << max(8, math.ceil(math.log2(_FRAME_SECONDS * rate)))


def candidate_starts(n_samples: int, n_fft: int) -> npt.NDArray[np.int64]:
    """Where the candidate frames start, spread over the signal: a function
    of its length alone, so a file can be read at just these places. Each
    frame holds ``min(n_fft, n_samples)`` samples."""
    if n_samples <= n_fft:
        return np.zeros(1, dtype=np.int64)
    last = n_samples - n_fft
    count = min(_MAX_FRAMES, last // (n_fft // 2) + 1)
    return np.linspace(0, last, count * _CANDIDATES).astype(np.int64)


def chosen(candidates: npt.NDArray[np.int64], energy: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """The indices of the candidates analysed: the loudest of each stretch's few."""
    if len(candidates) == 1:
        return np.zeros(1, dtype=np.int64)
    count = len(candidates) // _CANDIDATES
    best = energy.reshape(count, _CANDIDATES).argmax(axis=1)
    indices: npt.NDArray[np.int64] = (np.arange(count) * _CANDIDATES + best).astype(np.int64)
    return indices


#: Candidates are compared on every this many samples: enough to tell loud from quiet.
ENERGY_STEP = 16


def energy(sparse: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Each candidate's energy from its every ``ENERGY_STEP``-th sample (one row each)."""
    total: npt.NDArray[np.float64] = (sparse.astype(np.float64) ** 2).sum(axis=1)
    return total


# Each thread's working arrays, kept between calls up to this size: fresh
# ones cost more in page faults than the transforms themselves when a
# batch of short files estimates one tuning after another (the more so in
# Dask workers, whose allocator returns every large block to the system).
_KEEP_BYTES = 2 << 20
_scratch = threading.local()


def _workspace(name: str, shape: tuple[int, int], dtype: type[np.generic]) -> npt.NDArray[Any]:
    """An uninitialised array of this thread's, valid until its next request for ``name``."""
    size = shape[0] * shape[1]
    if size * np.dtype(dtype).itemsize > _KEEP_BYTES:
        return np.empty(shape, dtype=dtype)
    kept: npt.NDArray[Any] | None = getattr(_scratch, name, None)
    if kept is None or kept.size < size:
        kept = np.empty(size, dtype=dtype)
        setattr(_scratch, name, kept)
    return kept[:size].reshape(shape)


def _magnitudes(frames: npt.NDArray[np.float32], window: npt.NDArray[np.float32],
                n_fft: int) -> npt.NDArray[np.float64]:
    """The magnitude spectra of the windowed frames, zero-padded to
    ``n_fft``; valid until this thread's next call."""
    rows, length = frames.shape
    signal = _workspace("signal", (rows, n_fft), np.float64)
    spectrum = _workspace("spectrum", (rows, n_fft // 2 + 1), np.complex128)
    # Windowed in float32, transformed in float64 (NumPy's faster transform).
    np.multiply(frames, window, out=signal[:, :length], dtype=np.float32)
    signal[:, length:] = 0.0
    np.fft.rfft(signal, axis=1, out=spectrum)
    magnitude: npt.NDArray[np.float64] = np.abs(spectrum, out=_workspace("magnitude", spectrum.shape, np.float64))
    return magnitude


def _peaks(spectrum: npt.NDArray[np.float64], sr: float, n_fft: int, fmin: float,
           fmax: float) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Deviation in semitones from the nearest equal-tempered pitch, and
    magnitude, of every spectral peak between fmin and fmax of magnitude
    spectra ``spectrum`` (a row per frame, of ``n_fft // 2 + 1`` bins)."""
    low = max(1, int(fmin * n_fft / sr))
    high = min(spectrum.shape[1] - 1, int(fmax * n_fft / sr) + 1)
    band = spectrum[:, low - 1: high + 1]
    a, b, c = band[:, :-2], band[:, 1:-1], band[:, 2:]
    floor = spectrum.max(axis=1, keepdims=True) * 10.0 ** (-_FLOOR_DB / 20.0)
    rows, cols = np.nonzero((b > a) & (b >= c) & (b > floor) & (b > 0.0))
    if rows.size == 0:
        return np.empty(0), np.empty(0)
    tiny = np.finfo(np.float64).tiny
    la, lb, lc = (np.log(np.maximum(x[rows, cols], tiny)) for x in (a, b, c))
    curve = la - 2.0 * lb + lc
    offset = np.where(curve < 0.0, 0.5 * (la - lc) / np.where(curve < 0.0, curve, -1.0), 0.0)
    hz = (cols + low + offset) * (sr / n_fft)
    semitones = 12.0 * np.log2(hz / 440.0)
    deviation = semitones - np.floor(semitones + 0.5)
    return deviation, np.exp(lb - 0.25 * (la - lc) * offset)


def _mode_and_mean(deviation: npt.NDArray[np.float64], weight: npt.NDArray[np.float64]) -> float:
    """The most weighted deviation (1-cent histogram, circular, smoothed),
    refined by the weighted mean of the deviations near it."""
    cents = deviation * CENTS
    histogram = np.bincount(np.floor(cents + 50.0).astype(np.int64) % CENTS, weights=weight, minlength=CENTS)
    # Smoothed around the circle: padded by the taps' half width at each end.
    half = len(_SMOOTH_TAPS) // 2
    padded = np.concatenate([histogram[-half:], histogram, histogram[:half]])
    smooth = np.convolve(padded, _SMOOTH_TAPS, mode="valid")
    mode = float(np.argmax(smooth)) - 50.0 + 0.5
    near = (cents - mode + 50.0) % CENTS - 50.0
    inside = np.abs(near) <= _REFINE_CENTS
    if not inside.any():
        return mode / CENTS
    return (mode + float(np.average(near[inside], weights=weight[inside]))) / CENTS


@refuses_foreign_keywords
@sr_required
@fill
def estimate_tuning(
    y: npt.ArrayLike,
    *,
    sr: float,
    fmin: float = 65.0,
    fmax: float = 4200.0,
    check_finite: bool = True,
) -> float:
    """Deviation of a recording's tuning from A440 equal temperament.

    The unit is a fraction of a semitone, in [-0.5, 0.5), whatever
    ``bins_per_octave`` a transform later uses: 0.1 means 10 cents sharp
    (A at about 442.5 Hz), -0.25 a quarter semitone flat. Pass it as
    ``tuning=`` to :func:`cqt`, :func:`cqt_magnitude` or :func:`chroma_cqt`,
    which move every bin by ``2**(tuning / 12)``. The estimate is rounded
    to whole cents (multiples of 0.01).

    The frequencies of the spectral peaks between ``fmin`` and ``fmax`` of
    at most 40 frames of about 0.37 s spread over the signal (in each
    stretch, the loudest of four candidates) are read through a Gaussian
    window to a small fraction of a bin; their deviations from the nearest
    equal-tempered semitone, weighted by magnitude, give the answer as the
    mode of a 1-cent histogram smoothed by a Gaussian of 8 cents, refined
    by the weighted mean within 10 cents of it, so partials of harmonic
    tones that fall off the tempered grid (the 5th and 7th) do not pull it.
    Time and memory do not grow with the signal's length. A signal without peaks (silence) gives 0.0.

    Parameters
    ----------
    %(y)s
        Channels are mixed down.
    %(sr)s
    fmin, fmax : float
        The band whose peaks are read, in Hz (``fmax`` is capped below
        ``sr / 2``).
    check_finite : bool
        Refuse a signal with NaN or infinite samples anywhere (True), or
        only in the frames read.

    Returns
    -------
    float
        Semitones in [-0.5, 0.5), a whole number of cents.

    Raises
    ------
    TypeError, ValueError
        As the transforms, before any work: samples that are not floats or
        not finite, no samples or channels, ``fmin`` not below ``fmax``;
        and ``sr`` above 1048575 Hz, the highest rate audio files hold, as
        the frames' length grows with the rate.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(3 * sr) / sr
    >>> a = 440.0 * 2 ** (0.2 / 12)  # A4, 20 cents sharp
    >>> y = sum(np.sin(2 * np.pi * k * a * t) / k for k in range(1, 6))
    >>> vexolin.estimate_tuning(y, sr=sr)
    0.2
    """
    rate, low, high = band(sr, fmin, fmax)
    a = signal(y)  # read as the transforms read it; not copied, whatever its length
    if check_finite:
        check_samples(a)
    rows = a.reshape(-1, a.shape[-1])
    n_samples = rows.shape[1]
    n_fft = frame_length(rate)
    length = min(n_fft, n_samples)
    starts = candidate_starts(n_samples, n_fft)
    # Frames are chosen on the first channel's energy, then mixed down.
    if len(starts) > 1:
        sparse = rows[0][starts[:, None] + np.arange(0, n_fft, ENERGY_STEP)[None, :]]
        starts = starts[chosen(starts, energy(sparse))]
    frames = _workspace("frames", (len(starts), length), np.float32)
    for frame, s in zip(frames, starts):
        if len(rows) == 1:
            frame[:] = rows[0, s: s + length]
        else:
            rows[:, s: s + length].mean(axis=0, dtype=np.float32, out=frame)
    return from_frames(frames, rate, n_fft, low, high)


def band(sr: object, fmin: object, fmax: object) -> tuple[float, float, float]:
    """The checked rate and the band whose peaks are read."""
    rate = positive_float("sr", sr)
    if rate > MAX_SAMPLE_RATE:
        # Frames of 0.37 s: at 1e9 Hz, gigabytes for a signal of any length.
        raise ValueError(f"sr must be at most {MAX_SAMPLE_RATE} Hz (the highest rate audio files hold) for the "
                         f"tuning estimate, got {sr!r}: resample first, or pass the transform a tuning=")
    low = positive_float("fmin", fmin)
    high = min(positive_float("fmax", fmax), 0.45 * rate)
    if not low < high:
        raise ValueError(f"fmin must lie below fmax and 0.45 * sr = {0.45 * rate:g} Hz, got {fmin!r}")
    return rate, low, high


@functools.lru_cache(maxsize=16)
def _window(length: int, n_fft: int) -> npt.NDArray[np.float32]:
    """The Gaussian analysis window of a frame of ``length`` samples (read-only: it is shared)."""
    t = np.arange(length) - (length - 1) / 2.0
    window: npt.NDArray[np.float32] = np.exp(-0.5 * (t / (_SIGMA_FRACTION * n_fft)) ** 2).astype(np.float32)
    window.flags.writeable = False
    return window


def from_frames(frames: npt.NDArray[np.float32], rate: float, n_fft: int, low: float = 65.0,
                high: float = 4200.0) -> float:
    """The estimate from the chosen frames (mixed down, float32), in whole cents."""
    window = _window(frames.shape[1], n_fft)
    deviations, weights = [], []
    for first in range(0, len(frames), _BLOCK):
        block = frames[first: first + _BLOCK]
        if not np.isfinite(block).all():
            raise ValueError("y has non-finite samples (NaN or infinity)")
        deviation, weight = _peaks(_magnitudes(block, window, n_fft), rate, n_fft, low, high)
        deviations.append(deviation)
        weights.append(weight)
    deviation, weight = np.concatenate(deviations), np.concatenate(weights)
    if weight.size == 0 or not weight.sum() > 0.0:
        return 0.0
    return to_cents(_mode_and_mean(deviation, weight))


def file_tuning(path: str | os.PathLike[str], *, sr: int | None = None, mono: bool = True,
                block_frames: int = 65536) -> float:
    """``estimate_tuning(vexolin.load(path, sr=sr, mono=mono)[0], sr=...)``,
    reading the file in blocks: once to count its samples, once to keep just
    the frames the estimate may read (their places depend on the length
    alone), so memory stays bounded whatever the length. The samples are
    those the streams read, so the estimate is the one of the whole signal."""
    with read_blocks(path, block_frames, sr, mono) as (rate, signal):
        n_samples = sum(samples.shape[-1] for samples in signal)
    n_fft = frame_length(rate)
    length = min(n_fft, n_samples)
    starts = candidate_starts(n_samples, n_fft)
    frames: npt.NDArray[np.float32] | None = None
    with read_blocks(path, block_frames, sr, mono) as (_, signal):
        at = 0
        for samples in signal:
            rows = samples.reshape(-1, samples.shape[-1])
            if frames is None:  # (candidate, channel, sample)
                frames = np.zeros((len(starts), len(rows), length), dtype=np.float32)
            end = at + rows.shape[-1]
            # The candidates this block overlaps: ends after it starts, starts before it ends.
            for i in range(int(np.searchsorted(starts + length, at, side="right")),
                           int(np.searchsorted(starts, end, side="left"))):
                first, stop = max(int(starts[i]), at), min(int(starts[i]) + length, end)
                frames[i, :, first - starts[i]: stop - starts[i]] = rows[:, first - at: stop - at]
            at = end
    assert frames is not None
    # As estimate_tuning: chosen on the first channel's energy, then mixed down.
    if len(starts) > 1:
        frames = frames[chosen(starts, energy(frames[:, 0, ::ENERGY_STEP]))]
    mixed = frames[:, 0] if frames.shape[1] == 1 else frames.mean(axis=1, dtype=np.float32)
    _, low, high = band(rate, 65.0, 4200.0)
    return from_frames(np.ascontiguousarray(mixed), rate, n_fft, low, high)
