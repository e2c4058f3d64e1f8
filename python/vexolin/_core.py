"""The transforms: argument checks in the package's names, channels on a
thread pool, and the calls into the native module."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TypeVar

import numpy as np
import numpy.typing as npt

import _vexolin

#: Frequency of C1 in hertz, the lowest bin when ``fmin`` is None.
C1_HZ = 32.70319566257483

# A 2-D array with 1 to this many columns and more rows than that is
# read as (n_samples, n_channels), the layout audio readers return.
_MAX_COLUMN_CHANNELS = 8
_INT32_MAX = 2**31 - 1

_Out = TypeVar("_Out", np.float32, np.complex64)


def whole_number(name: str, value: object, minimum: int = 1) -> int:
    """``value`` as an int of at least ``minimum``; a float must have no fractional part."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if not isinstance(value, numbers.Integral):
        as_float = float(value)
        if not as_float.is_integer():
            raise ValueError(f"{name} must be a whole number, got {value!r}")
        value = as_float
    n = int(value)
    if n < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {n}")
    if n > _INT32_MAX:
        raise ValueError(f"{name} must be at most {_INT32_MAX}, got {n}")
    return n


def positive_float(name: str, value: object) -> float:
    """``value`` as a finite float above 0."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    x = float(value)
    if not (math.isfinite(x) and x > 0.0):
        raise ValueError(f"{name} must be a finite number > 0, got {value!r}")
    return x


def lowest_frequency(fmin: float | None) -> float:
    """The frequency of bin 0: ``fmin``, or C1 for None."""
    return C1_HZ if fmin is None else positive_float("fmin", fmin)


def check_top_bin(sr: float, hop_length: int, top_hz: float, lower: str) -> None:
    # Bins at or above the Nyquist limit have no content; refusing them here
    # also keeps a bad call from starting one thread per channel.
    if top_hz >= sr / 2:
        hint = " (were sr and hop_length swapped?)" if hop_length > sr else ""
        raise ValueError(
            f"the top bin lies at {top_hz:.6g} Hz, at or above the Nyquist limit "
            f"sr/2 = {sr / 2:.6g} Hz{hint}: lower fmin or {lower}, or use a higher sr")


def _samples(y: npt.ArrayLike, check_finite: bool) -> tuple[npt.NDArray[np.float32], tuple[int, ...]]:
    """The signal as C-contiguous float32 rows of samples, and the leading shape of the result."""
    try:
        a = np.asarray(y)
    except ValueError as e:  # ragged nested sequences
        raise TypeError(f"y must be an array of samples: {e}") from None
    if a.dtype.kind != "f":
        hint = ""
        if a.dtype.kind in "iub":
            hint = " (scale integer PCM to floats first, e.g. y / 32768)"
        elif a.dtype.kind == "c":
            hint = " (the transform takes a real signal)"
        raise TypeError(f"y must hold floating-point samples, got dtype {a.dtype}{hint}")
    if a.ndim == 0:
        raise ValueError("y must have a time axis, got a scalar")
    if a.ndim == 2 and 0 < a.shape[1] <= _MAX_COLUMN_CHANNELS < a.shape[0]:
        a = a.T  # (n_samples, n_channels): channels become the leading axis
    if a.shape[-1] == 0:
        raise ValueError(f"y has no samples (shape {a.shape})")
    if check_finite and not np.isfinite(a).all():
        raise ValueError("y has non-finite samples (NaN or infinity); "
                         "pass check_finite=False to skip this check")
    leading = a.shape[:-1]
    rows = np.ascontiguousarray(a, dtype=np.float32).reshape(-1, a.shape[-1])
    return rows, leading


def _per_channel(
    y: npt.ArrayLike,
    one: Callable[[npt.NDArray[np.float32]], npt.NDArray[_Out]],
    workers: int | None,
    check_finite: bool,
) -> npt.NDArray[_Out]:
    rows, leading = _samples(y, check_finite)
    if not leading:
        return one(rows[0])
    n_workers = min(len(rows), os.cpu_count() or 1) if workers is None else whole_number("workers", workers)
    if n_workers == 1 or len(rows) == 1:
        results = [one(row) for row in rows]
    else:
        # The module releases the interpreter lock, so channels run side by side.
        pool = ThreadPoolExecutor(max_workers=n_workers, thread_name_prefix="vexolin")
        try:
            results = list(pool.map(one, rows))
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
    stacked = np.stack(results)
    return stacked.reshape(leading + stacked.shape[1:])


def _cqt_call(
    native: Callable[[npt.NDArray[np.float32], float, int, float, int, int], npt.NDArray[_Out]],
    sr: object, hop_length: object, fmin: float | None, n_bins: object, bins_per_octave: object,
) -> Callable[[npt.NDArray[np.float32]], npt.NDArray[_Out]]:
    """The checked arguments of a CQT, bound to one channel's call of the native function."""
    sr_, hop, f0 = positive_float("sr", sr), whole_number("hop_length", hop_length), lowest_frequency(fmin)
    bins, per_octave = whole_number("n_bins", n_bins), whole_number("bins_per_octave", bins_per_octave)
    check_top_bin(sr_, hop, f0 * 2.0 ** ((bins - 1) / per_octave), "n_bins")
    return lambda row: native(row, sr_, hop, f0, bins, per_octave)


def cqt(
    y: npt.ArrayLike,
    *,
    sr: float = 22050,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.complex64]:
    """Complex constant-Q transform.

    Parameters
    ----------
    y : array_like of float, shape (..., n_samples)
        Audio samples, time on the last axis. Leading axes are channels or a
        batch; a 2-D array with 1 to 8 columns and more than 8 rows
        is read as (n_samples, n_channels), so both stereo layouts work.
    sr : float
        Sample rate in Hz.
    hop_length : int
        Samples between frame centres. Frames are centred on multiples of it.
    fmin : float or None
        Centre frequency of bin 0 in Hz; None means C1 (32.70 Hz).
    n_bins : int
        Number of bins (at least 2).
    bins_per_octave : int
        Bins per octave; bin k lies at ``fmin * 2**(k / bins_per_octave)``.
    workers : int or None
        Threads for channels and batch rows; None uses one per CPU.
    check_finite : bool
        Refuse samples that are NaN or infinite (True) or skip the check.

    Returns
    -------
    ndarray of complex64, shape (..., n_bins, n_frames)
        Equal, channel by channel, to the transform of each channel alone.

    Raises
    ------
    TypeError
        ``y`` does not hold floating-point samples, or an integer argument
        is not a number.
    ValueError
        An argument is out of range, ``y`` is empty or not finite, or the top
        bin lies at or above the Nyquist limit ``sr / 2``.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(sr) / sr)  # one second of A4
    >>> C = vexolin.cqt(y, sr=sr)
    >>> C.shape, C.dtype
    ((84, 44), dtype('complex64'))
    >>> vexolin.bin_notes(84)[np.abs(C).mean(axis=1).argmax()]
    'A4'
    """
    return _per_channel(y, _cqt_call(_vexolin.cqt_complex, sr, hop_length, fmin, n_bins, bins_per_octave),
                        workers, check_finite)


def cqt_magnitude(
    y: npt.ArrayLike,
    *,
    sr: float = 22050,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]:
    """Magnitudes of the constant-Q transform.

    Takes the arguments of :func:`cqt` and returns ``abs(cqt(y, ...))``,
    computed without forming the complex result.

    Returns
    -------
    ndarray of float32, shape (..., n_bins, n_frames)

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> y = np.sin(2 * np.pi * 110.0 * np.arange(22050) / 22050)  # A2
    >>> M = vexolin.cqt_magnitude(y, hop_length=256, fmin=55.0, n_bins=36)
    >>> M.shape, M.dtype
    ((36, 87), dtype('float32'))
    >>> int(M[:, 40].argmax())  # 110 Hz is one octave, 12 bins, above 55 Hz
    12
    """
    return _per_channel(y, _cqt_call(_vexolin.cqt_magnitude, sr, hop_length, fmin, n_bins, bins_per_octave),
                        workers, check_finite)


def chroma_cqt(
    y: npt.ArrayLike,
    *,
    sr: float = 22050,
    hop_length: int = 512,
    fmin: float | None = None,
    bins_per_octave: int = 36,
    n_octaves: int = 7,
    n_chroma: int = 12,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]:
    """Chroma features from the constant-Q transform.

    The magnitudes of ``n_octaves`` octaves of ``bins_per_octave`` bins from
    ``fmin`` are folded onto ``n_chroma`` pitch classes, and every frame is
    scaled so that its largest value is 1. Row 0 is C whatever ``fmin`` is;
    with 12 rows, row 9 is A.

    Parameters
    ----------
    y : array_like of float, shape (..., n_samples)
        Audio samples, time on the last axis (as in :func:`cqt`).
    sr, hop_length, fmin, workers, check_finite
        As in :func:`cqt`.
    bins_per_octave : int
        Bins per octave of the underlying transform.
    n_octaves : int
        Octaves of the underlying transform.
    n_chroma : int
        Pitch classes, between 1 and ``bins_per_octave``.

    Returns
    -------
    ndarray of float32, shape (..., n_chroma, n_frames)

    Raises
    ------
    TypeError, ValueError
        As in :func:`cqt`.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> t = np.arange(22050) / 22050
    >>> y = sum(np.sin(2 * np.pi * f * t) for f in (261.63, 329.63, 392.0))  # C, E, G
    >>> chroma = vexolin.chroma_cqt(y)
    >>> chroma.shape
    (12, 44)
    >>> sorted(vexolin.chroma_notes()[k] for k in chroma.mean(axis=1).argsort()[-3:])
    ['C', 'E', 'G']
    """
    sr_, hop, f0 = positive_float("sr", sr), whole_number("hop_length", hop_length), lowest_frequency(fmin)
    per_octave, octaves = whole_number("bins_per_octave", bins_per_octave), whole_number("n_octaves", n_octaves)
    classes = whole_number("n_chroma", n_chroma)
    check_top_bin(sr_, hop, f0 * 2.0 ** ((octaves * per_octave - 1) / per_octave), "n_octaves")
    return _per_channel(y, lambda row: _vexolin.chroma_cqt(row, sr_, hop, per_octave, octaves, classes, f0),
                        workers, check_finite)
