"""Frames aggregated between boundaries, such as beats."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt


def sync(
    features: npt.ArrayLike,
    boundaries: npt.ArrayLike,
    *,
    aggregate: Callable[..., Any] = np.mean,
) -> npt.NDArray[Any]:
    """Aggregate the frames of ``features`` between boundaries.

    The boundaries (frame indices, e.g. beats) cut the frames into segments:
    from frame 0 to the first boundary, between consecutive boundaries, and
    from the last one to the end. Boundaries are sorted, clipped to the
    frames and made unique, so no segment is empty.

    Parameters
    ----------
    features : array_like, shape (..., n_frames)
        Frames on the last axis, e.g. chroma.
    boundaries : array_like of int
        Frame indices where segments start.
    aggregate : callable
        Called as ``aggregate(segment, axis=-1)``: ``np.mean`` (default),
        ``np.median``, ``np.max``, ...

    Returns
    -------
    ndarray, shape (..., n_segments)
        ``aggregate`` of each segment's frames, one column per segment.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> x = np.arange(10.0)[None, :]
    >>> vexolin.sync(x, [3, 7])
    array([[1. , 4.5, 8. ]])
    >>> vexolin.sync(x, [3, 7], aggregate=np.max)
    array([[2., 6., 9.]])
    """
    x = np.asarray(features)
    if x.ndim == 0:
        raise ValueError("features must have a frame axis, got a scalar")
    n = x.shape[-1]
    if n == 0:
        raise ValueError("features have no frames")
    b = np.asarray(boundaries)
    if b.size and b.dtype.kind not in "iu":
        if b.dtype.kind != "f" or not np.all(np.isfinite(b)) or not np.all(b == np.round(b)):
            raise ValueError("boundaries must be whole frame indices")
    edges = np.unique(np.concatenate([[0], np.clip(b.astype(np.int64).ravel(), 0, n), [n]]))
    segments = [np.asarray(aggregate(x[..., start:stop], axis=-1)) for start, stop in zip(edges[:-1], edges[1:])]
    return np.stack(segments, axis=-1)
