"""How every function reads a signal given as an array: floating-point
samples, time on the last axis, leading axes channels (or a batch), and a
2-D array with 1 to 8 columns and more rows than that read as
(n_samples, n_channels), the layout audio readers return. No native code."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

# A 2-D array with 1 to this many columns and more rows than that is
# read as (n_samples, n_channels).
MAX_COLUMN_CHANNELS = 8


def signal(y: npt.ArrayLike, name: str = "y", *, columns: bool = True,
           empty: bool = False) -> npt.NDArray[np.floating]:
    """``y`` with time on its last axis, as given (a view, not converted).
    A stream's blocks (``columns=False``, ``empty=True``) keep the leading
    shape of its first block, so a short one is never read by columns, and
    may hold no samples."""
    try:
        a = np.asarray(y)
    except ValueError as e:  # ragged nested sequences
        raise TypeError(f"{name} must be an array of samples: {e}") from None
    if a.dtype.kind != "f":
        hint = ""
        if a.dtype.kind in "iub":
            hint = f" (scale integer PCM to floats first, e.g. {name} / 32768)"
        elif a.dtype.kind == "c":
            hint = " (the transform takes a real signal)"
        raise TypeError(f"{name} must hold floating-point samples, got dtype {a.dtype}{hint}")
    if a.ndim == 0:
        raise ValueError(f"{name} must have a time axis, got a scalar")
    if columns and a.ndim == 2 and 0 < a.shape[1] <= MAX_COLUMN_CHANNELS < a.shape[0]:
        a = a.T  # (n_samples, n_channels): channels become the leading axis
    if 0 in a.shape[:-1]:
        raise ValueError(f"{name} has no channels (shape {a.shape}): time is the last axis, "
                         "and every leading axis needs at least one entry")
    if a.shape[-1] == 0 and not empty:
        raise ValueError(f"{name} has no samples (shape {a.shape})")
    return a


def rows(y: npt.ArrayLike, check_finite: bool, name: str = "y") -> tuple[npt.NDArray[np.float32], tuple[int, ...]]:
    """The signal as C-contiguous float32 rows of samples, one per channel,
    and the leading shape of a result."""
    a = signal(y, name)
    if check_finite and not np.isfinite(a).all():
        raise ValueError(f"{name} has non-finite samples (NaN or infinity); "
                         "pass check_finite=False to skip this check")
    leading = a.shape[:-1]
    return np.ascontiguousarray(a, dtype=np.float32).reshape(-1, a.shape[-1]), leading
