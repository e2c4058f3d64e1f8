"""Helpers around the transforms: bin frequencies, frame times, note names
and decibels."""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from vexolin._checks import lowest_frequency, positive_float, refuses_foreign_keywords, sr_required, whole_number
from vexolin._docs import fill

_PITCH_CLASSES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")


@fill
def cqt_frequencies(n_bins: int, *, fmin: float | None = None, bins_per_octave: int = 12) -> npt.NDArray[np.float64]:
    """Centre frequencies of the CQT bins in Hz.

    Parameters
    ----------
    %(n_bins)s
    %(fmin)s
    %(bins_per_octave)s

    Returns
    -------
    ndarray of float64, shape (n_bins,)
        ``fmin * 2**(k / bins_per_octave)`` for bin k.

    Examples
    --------
    >>> import vexolin
    >>> vexolin.cqt_frequencies(4, fmin=110.0, bins_per_octave=2).tolist()
    [110.0, 155.56349186104046, 220.0, 311.1269837220809]
    """
    n = whole_number("n_bins", n_bins)
    per_octave = whole_number("bins_per_octave", bins_per_octave)
    low = lowest_frequency(fmin)
    # The top bin's octaves above fmin, within float64's range.
    room = math.log2(np.finfo(np.float64).max) - math.log2(low)
    if (n - 1) / per_octave >= room:
        raise ValueError(f"n_bins = {n} puts the top bin beyond float64's range (1.8e308 Hz): at most "
                         f"{math.ceil(room * per_octave)} bins from fmin = {low:g} Hz at {per_octave} per octave")
    return low * 2.0 ** (np.arange(n) / per_octave)


@refuses_foreign_keywords
@sr_required
@fill
def frames_to_time(frames: npt.ArrayLike, *, sr: float, hop_length: int = 512) -> npt.NDArray[np.float64]:
    """Times in seconds of frame centres: ``frames * hop_length / sr``.

    Parameters
    ----------
    frames : array_like of int or float
        Frame indices.
    %(sr_of_frames)s
    %(hop_of_frames)s

    Returns
    -------
    ndarray of float64
        The centre of each frame in seconds, in the shape of ``frames``.

    Examples
    --------
    >>> import vexolin
    >>> vexolin.frames_to_time([0, 1, 10], sr=22050, hop_length=441).tolist()
    [0.0, 0.02, 0.2]
    """
    rate, hop = positive_float("sr", sr), whole_number("hop_length", hop_length)
    indices = np.asarray(frames)
    if indices.dtype.kind not in "biuf":
        raise TypeError(f"frames must be frame indices (numbers), got dtype {indices.dtype}")
    return indices.astype(np.float64) * hop / rate


@refuses_foreign_keywords
@sr_required
@fill
def times_like(X: npt.ArrayLike | int, *, sr: float, hop_length: int = 512) -> npt.NDArray[np.float64]:
    """Times in seconds of the frames of a CQT or chroma array.

    Parameters
    ----------
    X : array_like or int
        An array with frames on its last axis, or a frame count.
    %(sr_of_frames)s
    %(hop_of_frames)s

    Returns
    -------
    ndarray of float64, shape (n_frames,)
        The centre of each frame in seconds, from 0.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> vexolin.times_like(np.zeros((12, 3)), sr=1000, hop_length=250).tolist()
    [0.0, 0.25, 0.5]
    """
    n = whole_number("X", X, 0) if isinstance(X, (int, np.integer)) else np.shape(X)[-1]
    return frames_to_time(np.arange(n), sr=sr, hop_length=hop_length)


def _name(semitones_above_c: float, octave: int | None) -> str:
    # Whole cents first, so that a quarter tone is named from the note below.
    total_cents = round(semitones_above_c * 100)
    nearest = -((50 - total_cents) // 100)  # ceil((total_cents - 50) / 100)
    cents = total_cents - 100 * nearest
    name = _PITCH_CLASSES[nearest % 12] + ("" if octave is None else str(octave + nearest // 12))
    return name if cents == 0 else f"{name}{cents:+d}"


def hz_to_note(frequencies: npt.ArrayLike) -> list[str]:
    """Names of the notes nearest to frequencies in Hz (A4 = 440 Hz).

    A frequency more than half a cent off its note gets the difference in
    cents: ``'A4+50'`` lies halfway between A4 and A#4.

    Parameters
    ----------
    frequencies : float or array_like of float
        Frequencies in Hz, finite and > 0.

    Returns
    -------
    list of str
        One name per frequency, with its octave (``'C4'``; 92 Hz is ``'F#2-9'``).

    Examples
    --------
    >>> import vexolin
    >>> vexolin.hz_to_note([440.0, 261.6256, 453.0])
    ['A4', 'C4', 'A4+50']
    """
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    if not (np.isfinite(f).all() and (f > 0).all()):
        raise ValueError("frequencies must be finite and > 0")
    semitones_above_c0 = 12.0 * np.log2(f / 440.0) + 57.0  # A4 is 57 semitones above C0
    return [_name(s, 0) for s in semitones_above_c0.tolist()]


@fill
def bin_notes(n_bins: int, *, fmin: float | None = None, bins_per_octave: int = 12) -> list[str]:
    """Note names of the CQT bins, lowest first (see :func:`hz_to_note`).

    Parameters
    ----------
    %(n_bins)s
    %(fmin)s
    %(bins_per_octave)s

    Returns
    -------
    list of str
        The name of every bin's centre frequency.

    Examples
    --------
    >>> import vexolin
    >>> vexolin.bin_notes(3)
    ['C1', 'C#1', 'D1']
    >>> vexolin.bin_notes(3, fmin=440.0, bins_per_octave=24)
    ['A4', 'A4+50', 'A#4']
    """
    return hz_to_note(cqt_frequencies(n_bins, fmin=fmin, bins_per_octave=bins_per_octave))


def chroma_notes(n_chroma: int = 12) -> list[str]:
    """Pitch-class names of the chroma rows: row 0 is C.

    Parameters
    ----------
    n_chroma : int
        Rows of the chroma, pitch classes per octave.

    Returns
    -------
    list of str
        One name per row; a row between two semitones gets cents (``'C+50'``).

    Examples
    --------
    >>> import vexolin
    >>> vexolin.chroma_notes()[:4]
    ['C', 'C#', 'D', 'D#']
    >>> vexolin.chroma_notes(24)[:3]
    ['C', 'C+50', 'C#']
    """
    n = whole_number("n_chroma", n_chroma)
    return [_name(12.0 * r / n, None) for r in range(n)]


def amplitude_to_db(
    S: npt.ArrayLike,
    *,
    ref: float | Callable[[npt.NDArray[np.floating]], float] = 1.0,
    amin: float = 1e-5,
    top_db: float | None = 80.0,
) -> npt.NDArray[np.floating]:
    """Magnitudes in decibels: ``20 * log10(max(|S|, amin) / ref)``.

    Parameters
    ----------
    S : array_like
        Magnitudes (complex values are taken by absolute value).
    ref : float or callable
        Reference magnitude for 0 dB, or a function of ``|S|`` giving it,
        such as ``np.max``.
    amin : float
        Floor for magnitudes, which keeps silence finite.
    top_db : float or None
        Clip to this many dB below the peak; None keeps everything.

    Returns
    -------
    ndarray
        Same shape as ``S``; float32 for float32 or complex64 input.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> vexolin.amplitude_to_db(np.array([1.0, 0.1, 0.0]), ref=np.max).tolist()
    [0.0, -20.0, -80.0]
    """
    given = np.asarray(S)
    if given.dtype.kind not in "biufc":
        raise TypeError(f"S must hold magnitudes (numbers), got dtype {given.dtype}")
    magnitude: npt.NDArray[np.floating] = np.abs(given)
    if not np.issubdtype(magnitude.dtype, np.floating):
        magnitude = magnitude.astype(np.float64)
    if not np.isfinite(magnitude).all():
        raise ValueError("S holds NaN or infinite magnitudes")
    floor = positive_float("amin", amin)
    reference = ref(magnitude) if callable(ref) else ref
    if not math.isfinite(float(reference)):
        raise ValueError(f"ref must be a finite magnitude (or a function of |S| giving one), got {reference!r}")
    db = 20.0 * np.log10(np.maximum(magnitude, floor))
    # In the magnitudes' precision, so that the reference itself is exactly 0 dB.
    db -= 20.0 * np.log10(np.asarray(max(floor, abs(float(reference))), dtype=magnitude.dtype))
    if top_db is not None:
        db = np.maximum(db, db.max(initial=-np.inf) - positive_float("top_db", top_db))
    result: npt.NDArray[np.floating] = db.astype(magnitude.dtype, copy=False)
    return result
