"""One audio file's feature, as batch computes it."""

from __future__ import annotations

import os

import numpy as np
import numpy.typing as npt

from vexolin._core import compute
from vexolin._features import Feature, Params
from vexolin._io import load


def feature_of_file(
    path: str | os.PathLike[str], feature: Feature, p: Params, *, sr: int | None, mono: bool,
    workers: int | None,
) -> tuple[npt.NDArray[np.float32], int, int, Params]:
    """``feature`` of the file at ``path`` read at rate ``sr`` (None: its own),
    mixed down when ``mono``; with the rate, the samples per channel and the
    parameters used (``tuning``: the one estimated, if it was not given).

    Raises ``ValueError`` for a file that holds no samples or NaN or
    infinite ones (the file is at fault, so no argument can skip that).
    """
    y, rate = load(path, sr=sr, mono=mono)
    return feature_of_signal(y, rate, feature, p, workers=workers)


def feature_of_signal(
    y: npt.NDArray[np.float32], rate: int, feature: Feature, p: Params, *, workers: int | None,
) -> tuple[npt.NDArray[np.float32], int, int, Params]:
    """:func:`feature_of_file` of a file already read."""
    if y.shape[-1] == 0:
        raise ValueError("the file holds no samples")
    if not np.isfinite(y).all():
        raise ValueError("the file holds NaN or infinite samples")
    values, used = compute(feature, y, rate, p, workers, check_finite=False)
    check_finite_result(values)
    return values, rate, y.shape[-1], used


def check_finite_result(values: npt.NDArray[np.float32]) -> None:
    """Refuse a result holding NaN or infinity: finite samples too large for
    single-precision arithmetic (1e38, say) overflow in the transform."""
    if not np.isfinite(values).all():
        raise ValueError("the result is not finite: the samples are too large for single-precision "
                         "arithmetic; scale the audio down")
