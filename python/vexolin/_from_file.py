"""One audio file's feature, as batch computes it."""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._core import compute
from vexolin._features import FeatureRequest
from vexolin._io import load


def feature_of_file(
    path: str | os.PathLike[str], asked: FeatureRequest, *, sr: int | None, mono: bool, workers: int | None,
) -> tuple[npt.NDArray[np.float32], int, int, FeatureRequest]:
    """The feature ``asked`` of the file at ``path`` read at rate ``sr``
    (None: its own), mixed down when ``mono``; with the rate, the samples
    per channel and the request as computed (``tuning``: the one estimated,
    if it was to be).

    Raises ``ValueError`` for a file that holds no samples or NaN or
    infinite ones, or whose feature is not finite (the file is at fault, so
    no argument can skip that).
    """
    y, rate = load(path, sr=sr, mono=mono)
    return feature_of_signal(y, rate, asked, workers=workers)


def feature_of_signal(
    y: npt.NDArray[np.float32], rate: int, asked: FeatureRequest, *, workers: int | None,
) -> tuple[npt.NDArray[np.float32], int, int, FeatureRequest]:
    """:func:`feature_of_file` of a file already read."""
    if y.shape[-1] == 0:
        raise ValueError("the file holds no samples")
    if not np.isfinite(y).all():
        raise ValueError("the file holds NaN or infinite samples")
    # Overflow shows in the result, checked below: numpy's warnings on the way say less.
    with np.errstate(over="ignore", invalid="ignore"):
        values, used = compute(asked, y, rate, workers, check_finite=False)
    if not np.isfinite(values).all():  # the samples' peak is read only for the reason
        check_finite_result(values, max(float(y.max()), -float(y.min())))
    return values, rate, y.shape[-1], used


# Samples this large make the transform's sums overflow float32 (its largest
# value is 3.4e38); they reach about 1e36 at the default parameters.
_OVERFLOWING_PEAK = 1e30


def check_finite_result(values: npt.NDArray[Any], peak: float) -> None:
    """Raise ``ValueError`` when a file's feature ``values`` hold NaN or
    infinite values; ``peak`` is the largest absolute sample the file gave,
    which the reason names when it is what overflowed."""
    if np.isfinite(values).all():
        return
    if peak >= _OVERFLOWING_PEAK:
        raise ValueError(f"the result is not finite: samples of up to {peak:.3g} overflow float32; "
                         "scale the audio down")
    raise ValueError(f"the result is not finite (NaN or infinite values from samples of up to {peak:.3g})")
