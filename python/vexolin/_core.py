"""The transforms: arguments checked against the features' descriptions,
a call's thread budget split between channels and the engine, and the calls
into the package's native module."""

from __future__ import annotations

import functools
import itertools
import threading
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Literal, ParamSpec, TypeVar, overload

import numpy as np
import numpy.typing as npt

from vexolin import _chroma, _native
from vexolin._cancel import current
from vexolin._native import Cancel
from vexolin._samples import rows as sample_rows
from vexolin._docs import fill, twin
from vexolin._checks import SR_REQUIRED, positive_float, refuses_foreign_keywords, sr_required, warn_slow_hop, whole_number
from vexolin._features import CENS, CHROMA, CQT, CQT_COMPLEX, FeatureRequest, request
from vexolin._tuning import estimate_tuning, tuned_fmin

_Out = TypeVar("_Out", np.float32, np.complex64)
_Item = TypeVar("_Item")
_pools = itertools.count()  # numbers the pools' thread names
_Result = TypeVar("_Result")



def map_on_threads(
    threads: int, fn: Callable[[_Item, Cancel], _Result], items: Iterable[_Item],
) -> list[_Result]:
    """``fn(item, token)`` for each item on ``threads`` threads, in order.

    Ctrl-C reaches only the main thread, in its wait here: it raises the
    token, so the calls running stop within a block of work and the
    interruption goes on as soon as they have. A token this thread's own
    pool gave it is passed on instead, and raised by that pool.
    """
    inherited = current()
    token = inherited if inherited is not None else Cancel()
    executor = ThreadPool(threads, "vexolin")
    try:
        return list(executor.map(lambda item: fn(item, token), items))
    except BaseException:
        if inherited is None:
            token.cancel()
        raise
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


class ThreadPool(ThreadPoolExecutor):
    """A pool whose threads' names only it uses, and whose shutdown with
    ``wait`` waits for every one of them.

    A Ctrl-C landing in a submit, just after a thread started and before the
    pool recorded it, leaves that thread out of the pool's own joins: it is
    found by its name and joined too.
    """

    def __init__(self, threads: int, name: str) -> None:
        self.prefix = f"{name}-{next(_pools)}"
        super().__init__(max_workers=threads, thread_name_prefix=self.prefix)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        super().shutdown(wait=wait, cancel_futures=cancel_futures)
        if wait:
            for thread in threading.enumerate():
                if thread.name.startswith(self.prefix + "_"):
                    thread.join()


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
    rows, leading = sample_rows(y, check_finite)
    pool, threads = split_budget(budget(workers), len(rows))
    token = current()  # None on the main thread: Ctrl-C reaches the call itself
    if not leading:
        return one(rows[0], threads, token)
    if pool == 1:
        results = [one(row, threads, token) for row in rows]
    else:
        # The module releases the interpreter lock, so channels run side by side.
        results = map_on_threads(pool, lambda row, token: one(row, threads, token), rows)
    stacked = np.stack(results)
    return stacked.reshape(leading + stacked.shape[1:])


def compute(
    request: FeatureRequest, y: npt.ArrayLike, sr: object, workers: int | None, check_finite: bool,
) -> tuple[npt.NDArray[Any], FeatureRequest]:
    """``request`` of ``y``, checked before any work, and the request as
    computed: its ``tuning`` is the one estimated when it was to be."""
    rate = positive_float("sr", sr)
    request.check_nyquist(rate)
    warn_slow_hop(request.hop_length, request.n_octaves)
    rows, leading = sample_rows(y, check_finite)
    if request.estimates_tuning:
        # The samples are checked above, when they are to be.
        request = request.with_tuning(estimate_tuning(rows, sr=rate, check_finite=False))
    transform = request.transform
    signal = rows.reshape(leading + rows.shape[-1:])
    values = _per_channel(
        signal, lambda row, threads, token: request.of_channel(transform, row, rate, threads, token),
        workers, check_finite=False)
    return values, request


@refuses_foreign_keywords
@sr_required
@fill
def cqt(
    y: npt.ArrayLike,
    *,
    sr: float,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.complex64]:
    """Complex constant-Q transform.

    Parameters
    ----------
    %(y)s
    %(sr)s
    %(hop_length)s
    %(fmin)s
    %(n_bins)s
        At least 2.
    %(bins_per_octave)s
    %(tuning)s
    %(filter_scale)s
    %(workers)s
    %(check_finite)s

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
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(sr) / sr)  # A4
    >>> C = vexolin.cqt(y, sr=sr)
    >>> C.shape, C.dtype
    ((84, 44), dtype('complex64'))
    >>> vexolin.bin_notes(84)[np.abs(C).mean(axis=1).argmax()]
    'A4'
    """
    asked = request(CQT_COMPLEX, dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins,
                                      bins_per_octave=bins_per_octave, tuning=tuning, filter_scale=filter_scale))
    result: npt.NDArray[np.complex64] = compute(asked, y, sr, workers, check_finite)[0]
    return result


@refuses_foreign_keywords
@sr_required
@twin(cqt)
def cqt_magnitude(
    y: npt.ArrayLike,
    *,
    sr: float,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]:
    """Magnitudes of the constant-Q transform.

    Takes the arguments of :func:`cqt` and returns ``abs(cqt(y, ...))``,
    computed without forming the complex result.

    Returns
    -------
    ndarray of float32, shape (..., n_bins, n_frames)
        The magnitude of every bin in every frame.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> y = np.sin(2 * np.pi * 110.0 * np.arange(sr) / sr)  # A2
    >>> M = vexolin.cqt_magnitude(y, sr=sr, hop_length=256,
    ...                           fmin=55.0, n_bins=36)
    >>> M.shape, M.dtype
    ((36, 87), dtype('float32'))
    >>> int(M[:, 40].argmax())  # 110 Hz: an octave, 12 bins, up
    12
    """
    asked = request(CQT, dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins, bins_per_octave=bins_per_octave,
                              tuning=tuning, filter_scale=filter_scale))
    result: npt.NDArray[np.float32] = compute(asked, y, sr, workers, check_finite)[0]
    return result


_P = ParamSpec("_P")


def _layout_of_magnitudes(function: Callable[_P, _Result]) -> Callable[_P, _Result]:
    """``function`` refusing magnitudes ``C=`` without ``bins_per_octave=``."""
    # Folded at chroma's default of 36 per octave, the 12 of cqt_magnitude's
    # default give the wrong pitch class for most frames, with no sign of it.

    @functools.wraps(function)
    def call(*args: _P.args, **kwargs: _P.kwargs) -> _Result:
        if kwargs.get("C") is not None and "bins_per_octave" not in kwargs:
            raise TypeError(f"{function.__name__}(C=...) needs bins_per_octave=, the bins per octave the "
                            "magnitudes were computed with (cqt_magnitude's default is 12, chroma's transform "
                            "uses 36): a wrong value folds bins onto the wrong pitch classes")
        return function(*args, **kwargs)

    return call


def _chroma_layout(request: FeatureRequest) -> tuple[int, int, float]:
    """Bins per octave, pitch classes and the tuned frequency of bin 0 of chroma's transform."""
    return request["bins_per_octave"], request["n_chroma"], tuned_fmin(request["fmin"], request["tuning"] or 0.0)


def _fold_magnitudes(C: npt.ArrayLike, request: FeatureRequest) -> npt.NDArray[np.float32]:
    """CQT magnitudes the caller has, folded onto the request's pitch classes:
    ``fmin`` and ``bins_per_octave`` describe them, and ``tuning`` (None: 0)
    how they were tuned."""
    M = np.asarray(C)
    if np.iscomplexobj(M):
        M = np.abs(M)
    if M.ndim < 2 or M.dtype.kind not in "fiu" or 0 in M.shape[:-1]:
        raise ValueError(f"C must be CQT magnitudes of shape (..., n_bins, n_frames), got shape {M.shape}")
    if not np.isfinite(M).all():
        raise ValueError("C holds NaN or infinite magnitudes")
    bins_per_octave, n_chroma, fmin = _chroma_layout(request)
    rows = _native.chroma_rows(M.shape[-2], bins_per_octave, n_chroma, fmin)  # the native folding's rule
    return _chroma.fold(M.astype(np.float32, copy=False), rows, n_chroma)


def _chroma_given(chroma: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """Chroma the caller has, checked."""
    X = np.asarray(chroma)
    if X.ndim < 2 or X.dtype.kind not in "fiu" or 0 in X.shape[:-1]:
        raise ValueError(f"chroma must be chroma features of shape (..., n_chroma, n_frames), got shape "
                         f"{X.shape} of {X.dtype}")
    if not np.isfinite(X).all():
        raise ValueError("chroma holds NaN or infinite values")
    return X.astype(np.float32, copy=False)


def _chroma_of(y: npt.ArrayLike | None, sr: float | None, C: npt.ArrayLike | None, asked: FeatureRequest,
               workers: int | None, check_finite: bool) -> tuple[npt.NDArray[np.float32], FeatureRequest]:
    """The chroma feature ``asked`` of a signal or of magnitudes ``C``, and the request as computed."""
    caller = asked.feature.function
    if C is not None:
        if y is not None:
            raise TypeError(f"{caller}() takes a signal y or magnitudes C=, not both")
        used = asked.with_tuning(asked["tuning"] or 0.0)
        assert asked.feature.from_sums is not None
        return asked.feature.from_sums(_fold_magnitudes(C, asked), used.params), used
    if y is None:
        raise TypeError(f"{caller}() needs a signal y or CQT magnitudes C=")
    if sr is None:
        raise TypeError(f"{caller}(): {SR_REQUIRED}")
    return compute(asked, y, sr, workers, check_finite)


@overload
def chroma_cqt(
    y: npt.ArrayLike | None = None, *, sr: float | None = None, C: npt.ArrayLike | None = None,
    hop_length: int = 512, fmin: float | None = None, bins_per_octave: int = 36, n_octaves: int = 7,
    n_chroma: int = 12, tuning: float | None = None, norm: float | str | None = np.inf, threshold: float = 0.0,
    filter_scale: float = 1.0, return_tuning: Literal[False] = False, workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]: ...
@overload
def chroma_cqt(
    y: npt.ArrayLike | None = None, *, sr: float | None = None, C: npt.ArrayLike | None = None,
    hop_length: int = 512, fmin: float | None = None, bins_per_octave: int = 36, n_octaves: int = 7,
    n_chroma: int = 12, tuning: float | None = None, norm: float | str | None = np.inf, threshold: float = 0.0,
    filter_scale: float = 1.0, return_tuning: Literal[True], workers: int | None = None,
    check_finite: bool = True,
) -> tuple[npt.NDArray[np.float32], float]: ...
@refuses_foreign_keywords
@_layout_of_magnitudes
@fill
def chroma_cqt(
    y: npt.ArrayLike | None = None,
    *,
    sr: float | None = None,
    C: npt.ArrayLike | None = None,
    hop_length: int = 512,
    fmin: float | None = None,
    bins_per_octave: int = 36,
    n_octaves: int = 7,
    n_chroma: int = 12,
    tuning: float | None = None,
    norm: float | str | None = np.inf,
    threshold: float = 0.0,
    filter_scale: float = 1.0,
    return_tuning: bool = False,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32] | tuple[npt.NDArray[np.float32], float]:
    """Chroma features from the constant-Q transform.

    The magnitudes of ``n_octaves`` octaves of ``bins_per_octave`` bins from
    ``fmin`` are folded onto ``n_chroma`` pitch classes; values below
    ``threshold`` times the largest are set to 0, and every frame is scaled
    so that its ``norm`` is 1 (by default its largest value is 1). Row 0 is
    C whatever ``fmin`` is; with 12 rows, row 9 is A.

    Parameters
    ----------
    %(y_or_none)s
    %(sr_with_y)s
    %(C)s
    %(hop_length)s
    %(fmin)s
    %(bins_per_octave)s
    %(n_octaves)s
    %(n_chroma)s
    %(tuning_or_none)s
    norm : np.inf, 1, 2 or None
        Each frame is scaled so that its largest value (np.inf), the sum of
        its values (1) or its Euclidean length (2) is 1; None leaves the
        folded magnitudes as they are. Frames of silence (norm at or below
        1e-20) are left as they are.
    threshold : float
        Folded values below this fraction of the largest value of the
        channel are set to 0 before the norm, so frames much quieter than
        the loudest (fades, silence) become 0 instead of being scaled up to
        full scale. 0.0 (the default) keeps every value.
    %(filter_scale)s
    %(return_tuning)s
    %(workers)s
    %(check_finite)s

    Returns
    -------
    ndarray of float32, shape (..., n_chroma, n_frames)
        With ``return_tuning``, a tuple of it and the tuning used (a float).

    Raises
    ------
    TypeError, ValueError
        As in :func:`cqt`; a ``TypeError`` without ``sr``.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(sr) / sr
    >>> c_e_g = (261.63, 329.63, 392.0)
    >>> y = sum(np.sin(2 * np.pi * f * t) for f in c_e_g)
    >>> chroma, tuning = vexolin.chroma_cqt(y, sr=sr,
    ...                                     return_tuning=True)
    >>> chroma.shape, tuning
    ((12, 44), 0.0)
    >>> strongest = chroma.mean(axis=1).argsort()[-3:]
    >>> sorted(vexolin.chroma_notes()[k] for k in strongest)
    ['C', 'E', 'G']
    >>> M = vexolin.cqt_magnitude(y, sr=sr, n_bins=7 * 36,
    ...                           bins_per_octave=36)
    >>> # Fold a CQT you have:
    >>> folded = vexolin.chroma_cqt(C=M, bins_per_octave=36)
    >>> bool(np.allclose(folded, chroma, atol=1e-5))
    True
    """
    asked = request(CHROMA, dict(hop_length=hop_length, fmin=fmin, bins_per_octave=bins_per_octave,
                                 n_octaves=n_octaves, n_chroma=n_chroma, tuning=tuning, norm=norm,
                                 threshold=threshold, filter_scale=filter_scale))
    values, used = _chroma_of(y, sr, C, asked, workers, check_finite)
    return (values, float(used["tuning"])) if return_tuning else values


@overload
def chroma_cens(
    y: npt.ArrayLike | None = None, *, sr: float | None = None, C: npt.ArrayLike | None = None,
    chroma: npt.ArrayLike | None = None,
    hop_length: int = 512, fmin: float | None = None, bins_per_octave: int = 36, n_octaves: int = 7,
    n_chroma: int = 12, tuning: float | None = None, win_len_smooth: int = 41, filter_scale: float = 1.0,
    return_tuning: Literal[False] = False, workers: int | None = None, check_finite: bool = True,
) -> npt.NDArray[np.float32]: ...
@overload
def chroma_cens(
    y: npt.ArrayLike | None = None, *, sr: float | None = None, C: npt.ArrayLike | None = None,
    chroma: npt.ArrayLike | None = None,
    hop_length: int = 512, fmin: float | None = None, bins_per_octave: int = 36, n_octaves: int = 7,
    n_chroma: int = 12, tuning: float | None = None, win_len_smooth: int = 41, filter_scale: float = 1.0,
    return_tuning: Literal[True], workers: int | None = None, check_finite: bool = True,
) -> tuple[npt.NDArray[np.float32], float]: ...
@refuses_foreign_keywords
@_layout_of_magnitudes
@fill
def chroma_cens(
    y: npt.ArrayLike | None = None,
    *,
    sr: float | None = None,
    C: npt.ArrayLike | None = None,
    chroma: npt.ArrayLike | None = None,
    hop_length: int = 512,
    fmin: float | None = None,
    bins_per_octave: int = 36,
    n_octaves: int = 7,
    n_chroma: int = 12,
    tuning: float | None = None,
    win_len_smooth: int = 41,
    filter_scale: float = 1.0,
    return_tuning: bool = False,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32] | tuple[npt.NDArray[np.float32], float]:
    """Chroma energy-normalised statistics (CENS), for matching and retrieval.

    The chroma of :func:`chroma_cqt` (from ``y``, from CQT magnitudes
    ``C``, or chroma one has, ``chroma``) is scaled so each frame sums to 1, quantised (each value counts
    how many of 0.05, 0.1, 0.2 and 0.4 it exceeds), smoothed along time
    with a Hann window of ``win_len_smooth`` frames (summing to 1, centred,
    zeros beyond the ends), and each frame scaled to Euclidean length 1.
    Frames that are all 0 stay 0.

    Parameters
    ----------
    %(y_or_none)s
    %(sr_with_y)s
    %(C)s
    chroma : array_like or None, shape (..., n_chroma, n_frames)
        Chroma already computed (stored by batch, say), instead of ``y`` or
        ``C``, scaled per frame in any way: each frame is scaled to sum 1
        first. Only ``win_len_smooth`` is used; ``tuning`` is returned as
        given (None: 0.0).
    %(hop_length)s
    %(fmin)s
    %(bins_per_octave)s
    %(n_octaves)s
    %(n_chroma)s
    %(tuning_or_none)s
    win_len_smooth : int
        Frames of the smoothing window (1: no smoothing).
    %(filter_scale)s
    %(return_tuning)s
    %(workers)s
    %(check_finite)s

    Returns
    -------
    ndarray of float32, shape (..., n_chroma, n_frames)
        With ``return_tuning``, a tuple of it and the tuning used.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(2 * sr) / sr)
    >>> cens = vexolin.chroma_cens(y, sr=sr)
    >>> cens.shape, vexolin.chroma_notes()[cens[:, 40].argmax()]
    ((12, 87), 'A')
    >>> round(float(np.linalg.norm(cens[:, 40])), 6)
    1.0
    >>> chroma = vexolin.chroma_cqt(y, sr=sr)
    >>> from_chroma = vexolin.chroma_cens(chroma=chroma)
    >>> bool(np.allclose(from_chroma, cens, atol=1e-6))
    True
    """
    asked = request(CENS, dict(hop_length=hop_length, fmin=fmin, bins_per_octave=bins_per_octave,
                               n_octaves=n_octaves, n_chroma=n_chroma, tuning=tuning, win_len_smooth=win_len_smooth,
                               filter_scale=filter_scale))
    if chroma is not None:
        if y is not None or C is not None:
            raise TypeError("chroma_cens() takes one of a signal y, magnitudes C= or chroma=")
        values = _chroma.cens(_chroma_given(chroma), asked["win_len_smooth"])
        return (values, float(asked["tuning"] or 0.0)) if return_tuning else values
    values, used = _chroma_of(y, sr, C, asked, workers, check_finite)
    return (values, float(used["tuning"])) if return_tuning else values
