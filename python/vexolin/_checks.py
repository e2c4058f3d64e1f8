"""The ground floor: argument checks and constants shared by every part of
the package. It imports no native code, so reading files, parsing the
command line and checking a batch's parameters never load the extension."""

from __future__ import annotations

import functools
import inspect
import math
import numbers
import os
import warnings
from collections.abc import Callable
from typing import ParamSpec, TypeVar

import numpy as np

#: Frequency of C1 in hertz, the lowest bin when ``fmin`` is None.
C1_HZ = 32.70319566257483

_INT32_MAX = 2**31 - 1


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


def lowest_frequency(fmin: object, name: str = "fmin") -> float:
    """The frequency of bin 0: ``fmin``, or C1 for None."""
    return C1_HZ if fmin is None else positive_float(name, fmin)


_P = ParamSpec("_P")
_R = TypeVar("_R")

SR_REQUIRED = "sr is required: pass the rate vexolin.load returned (y, sr = vexolin.load(path))"


def sr_required(function: Callable[_P, _R]) -> Callable[_P, _R]:
    """``function`` refusing calls without ``sr=``, with advice instead of
    Python's bare missing-argument message."""
    # load keeps each file's own rate, so a default rate would silently give
    # wrong answers for every file not at that rate.

    @functools.wraps(function)
    def call(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        if "sr" not in kwargs:
            raise TypeError(f"{function.__name__}(): {SR_REQUIRED}")
        return function(*args, **kwargs)

    return call


# Keywords of librosa's functions of the same names that vexolin has no
# parameter for, and what it does instead; a call with one gets this rather
# than Python's bare "unexpected keyword argument".
_ELSEWHERE = {
    "center": "frames are always centred on multiples of hop_length, the signal padded with zeros at both ends "
              "(as center=True)",
    "pad_mode": "the signal is always padded with zeros (as pad_mode='constant')",
    "res_type": "there is one resampler: vexolin.load(path, sr=...) resamples with soxr (its 'HQ' quality), and "
                "the transforms halve the rate between octaves with their own fixed half-band filter",
    "dtype": "results are always float32 (complex64 for cqt) and load returns float32; convert with .astype",
    "sparsity": "the kernels always drop at most 1% of each one's spectral mass (as sparsity=0.01)",
    "scale": "every bin is always scaled by 1 / sqrt(its filter length) (as scale=True)",
    "window": "the kernels always have a Hann window (as window='hann')",
    "filter_scale": "filter_scale is taken by the transforms (cqt, vqt, hcqt, chroma_cqt, chroma_cens, Stream), "
                    "not here",
    "gamma": "this is the constant-Q transform (as gamma=0): widened bands are vexolin.vqt's and vexolin.hcqt's "
             "gamma",
    "octwidth": "every octave is folded with the same weight (as octwidth=None)",
    "cqt_mode": "chroma always folds CQT magnitudes (as cqt_mode='full')",
    "smoothing_window": "CENS is always smoothed with a Hann window of win_len_smooth frames",
}
# The same keyword can mean something else for some functions.
_ELSEWHERE_IN = {
    ("cqt", "norm"): "the kernels are always scaled to an L1 norm of 1 (as norm=1)",
    ("cqt_magnitude", "norm"): "the kernels are always scaled to an L1 norm of 1 (as norm=1)",
    ("vqt", "norm"): "the kernels are always scaled to an L1 norm of 1 (as norm=1)",
    ("vqt_magnitude", "norm"): "the kernels are always scaled to an L1 norm of 1 (as norm=1)",
    ("chroma_cens", "norm"): "CENS frames are always scaled to a Euclidean length of 1 (as norm=2)",
    ("estimate_tuning", "bins_per_octave"): "the tuning is a fraction of a semitone whatever bins_per_octave a "
                                            "transform later uses",
    ("estimate_tuning", "resolution"): "estimates are always whole cents (as resolution=0.01)",
    ("estimate_tuning", "n_fft"): "the estimate reads frames of about 0.37 s, a power of two at the rate",
    ("estimate_tuning", "S"): "it reads samples: pass y, with sr",
    ("frames_to_time", "n_fft"): "frame centres are the multiples of hop_length, with no n_fft offset "
                                 "(as n_fft=None)",
    ("times_like", "n_fft"): "frame centres are the multiples of hop_length, with no n_fft offset (as n_fft=None)",
}


def not_offered(function: str, keyword: str, caller: str | None = None) -> str | None:
    """Why ``function`` takes no ``keyword`` and what it does instead, for a
    keyword librosa's function of that name has; None for any other.
    ``caller`` is the call as the message names it (default ``function()``)."""
    reason = _ELSEWHERE_IN.get((function, keyword), _ELSEWHERE.get(keyword))
    if reason is None:
        return None
    return (f"{caller or function + '()'} got an unexpected keyword argument {keyword!r}: it has no such "
            f"option; {reason}")


def refuses_foreign_keywords(function: Callable[_P, _R]) -> Callable[_P, _R]:
    """``function`` refusing a keyword it does not take with :func:`not_offered`'s advice."""
    own = set(inspect.signature(function).parameters)
    name = function.__name__

    @functools.wraps(function)
    def call(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        for keyword in kwargs.keys() - own:
            reason = not_offered(name, keyword)
            if reason is not None:
                raise TypeError(reason)
        return function(*args, **kwargs)

    return call


class SlowHopWarning(UserWarning):
    """A hop whose factors of two run out before the lowest octave.

    Shown once per process; the results are correct, only slower. A
    ``UserWarning``, so the usual filters silence it.

    Examples
    --------
    >>> import warnings
    >>> import vexolin
    >>> issubclass(vexolin.SlowHopWarning, UserWarning)
    True
    >>> with warnings.catch_warnings():
    ...     warnings.simplefilter("ignore", vexolin.SlowHopWarning)
    ...     vexolin.cqt_magnitude([0.0] * 4410, sr=22050, hop_length=441).shape
    (84, 11)
    """


_hop_warned = False


def warn_slow_hop(hop_length: int, n_octaves: int) -> None:
    """Warn, once per process, when ``hop_length`` has too few factors of two
    to halve the rate between all ``n_octaves`` octaves."""
    global _hop_warned
    step = 1 << (n_octaves - 1) if n_octaves <= 31 else 1 << 30
    if _hop_warned or hop_length % step == 0:
        return
    _hop_warned = True
    lower = hop_length // step * step
    nearest = " or ".join(str(h) for h in (lower, lower + step) if h > 0)
    warnings.warn(
        f"hop_length={hop_length} stops the rate halvings before the lowest of {n_octaves} octaves, "
        f"which then run at a high rate: the call can be dozens of times slower (results are correct). "
        f"Hops that are multiples of {step} keep halving, e.g. {nearest}. (Shown once per process.)",
        # Attributed to the caller's line, outside the package.
        SlowHopWarning, skip_file_prefixes=(os.path.dirname(__file__),))
