"""How every function and every stream reads a signal given as an array:
floating-point samples, time on the last axis, leading axes channels (or a
batch), and a 2-D array with 1 to 8 columns and more rows than that read as
(n_samples, n_channels), the layout audio readers return. A stream reads its
first block by that rule and every later block in the layout the first one
fixed. No native code."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

# A 2-D array with 1 to this many columns and more rows than that is
# read as (n_samples, n_channels).
MAX_COLUMN_CHANNELS = 8

# The largest float32: samples beyond it become infinite in the cast.
_FLOAT32_MAX = float(np.finfo(np.float32).max)


def _floats(y: npt.ArrayLike, name: str) -> npt.NDArray[np.floating]:
    """``y`` as an array of floating-point samples with at least one axis."""
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
    return a


def by_columns(shape: tuple[int, ...], empty: bool = False) -> bool:
    """Whether an array of ``shape`` is read as (n_samples, n_channels): 2-D,
    1 to 8 columns and more rows than that (or, for a stream's ``empty``
    block, no rows)."""
    return len(shape) == 2 and 0 < shape[1] <= MAX_COLUMN_CHANNELS and (
        shape[0] > MAX_COLUMN_CHANNELS or (empty and shape[0] == 0))


def _has_channels(a: npt.NDArray[np.floating], name: str) -> None:
    if 0 in a.shape[:-1]:
        raise ValueError(f"{name} has no channels (shape {a.shape}): time is the last axis, "
                         "and every leading axis needs at least one entry")


def signal(y: npt.ArrayLike, name: str = "y") -> npt.NDArray[np.floating]:
    """``y`` with time on its last axis, as given (a view, not converted)."""
    a = _floats(y, name)
    if by_columns(a.shape):
        a = a.T  # (n_samples, n_channels): channels become the leading axis
    _has_channels(a, name)
    if a.shape[-1] == 0:
        raise ValueError(f"{name} has no samples (shape {a.shape})")
    return a


def check_range(a: npt.NDArray[np.floating], name: str = "y") -> None:
    """Refuse samples beyond float32's range, the type every transform
    computes in: the cast would make them infinite. (NaN passes.)"""
    if a.dtype.itemsize > 4 and a.size:
        largest = float(np.abs(a).max())
        if largest > _FLOAT32_MAX and np.isfinite(largest):
            raise ValueError(f"{name} has samples beyond float32's range ({largest:.3g}, above "
                             f"{_FLOAT32_MAX:.3g}), which the transforms compute in; scale them down first, "
                             "or pass check_finite=False to skip this check")


def check_samples(a: npt.NDArray[np.floating], name: str = "y") -> None:
    """Refuse samples that are not finite, or that do not fit float32."""
    if not np.isfinite(a).all():
        raise ValueError(f"{name} has non-finite samples (NaN or infinity); "
                         "pass check_finite=False to skip this check")
    check_range(a, name)


def rows(y: npt.ArrayLike, check_finite: bool, name: str = "y") -> tuple[npt.NDArray[np.float32], tuple[int, ...]]:
    """The signal as C-contiguous float32 rows of samples, one per channel,
    and the leading shape of a result."""
    a = signal(y, name)
    if check_finite:
        check_samples(a, name)
    leading = a.shape[:-1]
    return np.ascontiguousarray(a, dtype=np.float32).reshape(-1, a.shape[-1]), leading


class Layout(NamedTuple):
    """How a stream reads its blocks, fixed by the first block it takes: its
    leading shape (channels) and whether blocks come as (n_samples, n_channels)."""

    leading: tuple[int, ...]
    columns: bool

    def refusal(self, shape: tuple[int, ...], name: str) -> str:
        """Why a block of ``shape`` does not fit this layout, and what does."""
        if self.columns:
            return (f"{name} has shape {shape}, but the first block fixed this stream's layout as "
                    f"(n_samples, {self.leading[0]}), samples by channels: pass every block so")
        wanted = ", ".join([*map(str, self.leading), "n_samples"])
        return (f"{name} has leading shape {shape[:-1]} (shape {shape}), but the first block fixed this "
                f"stream's at {self.leading}: time is the last axis, so pass blocks of shape ({wanted})")


def block(y: npt.ArrayLike, fixed: Layout | None, name: str = "block") -> tuple[npt.NDArray[np.floating], Layout]:
    """A stream's block with time on its last axis (a view, not converted),
    and its layout; it may hold no samples. Before any block is taken
    (``fixed`` None) the block is read as the functions read a signal; after,
    in the layout the first block fixed, and a block that does not fit it
    is refused, naming the layout to pass."""
    a = _floats(y, name)
    if fixed is None:
        layout = Layout(a.shape[1:2] if by_columns(a.shape, empty=True) else a.shape[:-1],
                        by_columns(a.shape, empty=True))
    else:
        layout = fixed
        fits = a.shape[::-1][:-1] == fixed.leading if fixed.columns else a.shape[:-1] == fixed.leading
        if a.ndim != len(fixed.leading) + 1 or not fits:
            raise ValueError(fixed.refusal(a.shape, name))
    if layout.columns:
        a = a.T
    _has_channels(a, name)
    return a, layout
