"""The transforms: arguments checked against the features' descriptions,
a call's thread budget split between channels and the engine, and the calls
into the package's native module."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import ThreadPoolExecutor
from contextvars import ContextVar
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from vexolin import _native
from vexolin._native import Cancel
from vexolin._checks import positive_float, whole_number
from vexolin._features import CHROMA, CQT, Feature

# A 2-D array with 1 to this many columns and more rows than that is
# read as (n_samples, n_channels), the layout audio readers return.
_MAX_COLUMN_CHANNELS = 8

_Out = TypeVar("_Out", np.float32, np.complex64)
_Item = TypeVar("_Item")
_Result = TypeVar("_Result")

# The token of the work this thread does for a pool (a batch's files): the
# transforms it calls stop when that pool is interrupted.
_token: ContextVar[Cancel | None] = ContextVar("vexolin_cancel", default=None)


def with_token(token: Cancel, fn: Callable[..., _Result], *args: Any) -> _Result:
    """``fn(*args)`` with ``token`` passed to every transform it calls on this thread."""
    reset = _token.set(token)
    try:
        return fn(*args)
    finally:
        _token.reset(reset)


def map_on_threads(
    threads: int, fn: Callable[[_Item, Cancel], _Result], items: Iterable[_Item],
) -> list[_Result]:
    """``fn(item, token)`` for each item on ``threads`` threads, in order.

    Ctrl-C reaches only the main thread, in its wait here: it raises the
    token, so the calls running stop within a block of work and the
    interruption goes on as soon as they have. A token this thread's own
    pool gave it is passed on instead, and raised by that pool.
    """
    inherited = _token.get()
    token = inherited if inherited is not None else Cancel()
    executor = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="vexolin")
    try:
        return list(executor.map(lambda item: fn(item, token), items))
    except BaseException:
        if inherited is None:
            token.cancel()
        raise
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


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


def split_budget(budget: int, tasks: int) -> tuple[int, int]:
    """``budget`` threads over ``tasks`` independent calls: pool threads, and
    engine threads for each call (the rest of the budget, at least 1)."""
    pool = max(1, min(tasks, budget))
    return pool, max(1, budget // pool)


def budget(workers: object) -> int:
    """A call's whole thread budget: ``workers``, or None for ``default_threads()``."""
    return _native.default_threads() if workers is None else whole_number("workers", workers)


def _per_channel(
    y: npt.ArrayLike,
    one: Callable[[npt.NDArray[np.float32], int, Cancel | None], npt.NDArray[_Out]],
    workers: int | None,
    check_finite: bool,
) -> npt.NDArray[_Out]:
    """``one(row, engine_threads, token)`` for each channel, within the thread budget ``workers``."""
    rows, leading = _samples(y, check_finite)
    pool, threads = split_budget(budget(workers), len(rows))
    token = _token.get()  # None on the main thread: Ctrl-C reaches the call itself
    if not leading:
        return one(rows[0], threads, token)
    if pool == 1:
        results = [one(row, threads, token) for row in rows]
    else:
        # The module releases the interpreter lock, so channels run side by side.
        results = map_on_threads(pool, lambda row, token: one(row, threads, token), rows)
    stacked = np.stack(results)
    return stacked.reshape(leading + stacked.shape[1:])


def transform(
    feature: Feature, y: npt.ArrayLike, sr: object, given: Mapping[str, Any], workers: int | None,
    check_finite: bool, native: str | None = None,
) -> npt.NDArray[Any]:
    """``feature`` of ``y`` with the parameters ``given``, checked before any
    work; ``native`` names another native function taking the same arguments."""
    p = feature.resolve(given)
    rate = positive_float("sr", sr)
    feature.check_nyquist(rate, p)
    function: Callable[..., npt.NDArray[Any]] = getattr(_native, native or feature.native)
    hop, args = p["hop_length"], feature.native_args(p)
    return _per_channel(y, lambda row, threads, token: function(row, rate, hop, *args, threads, cancel=token),
                        workers, check_finite)


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
        The call's whole thread budget, shared between channels and the
        engine: channels run on ``min(n_channels, workers)`` threads, and
        each channel's transform on ``workers // that`` (at least 1); a
        single channel gets them all. None means ``VEXOLIN_THREADS`` if set,
        else one per CPU. Results are the same bit for bit for every value.
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
    given = dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins, bins_per_octave=bins_per_octave)
    result: npt.NDArray[np.complex64] = transform(CQT, y, sr, given, workers, check_finite, native="cqt_complex")
    return result


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
    given = dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins, bins_per_octave=bins_per_octave)
    result: npt.NDArray[np.float32] = transform(CQT, y, sr, given, workers, check_finite)
    return result


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
    given = dict(hop_length=hop_length, fmin=fmin, bins_per_octave=bins_per_octave, n_octaves=n_octaves,
                 n_chroma=n_chroma)
    result: npt.NDArray[np.float32] = transform(CHROMA, y, sr, given, workers, check_finite)
    return result
