# Types of the package's private native module: `_vexolin`'s transforms with
# the thread count as an argument (at least 1) and an optional cancellation
# token, the count `_vexolin` uses, and chroma before its frames are scaled.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

class Cancel:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

class Cancelled(Exception): ...

def cqt_complex(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
) -> npt.NDArray[np.complex64]: ...
def cqt_magnitude(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
) -> npt.NDArray[np.float32]: ...
def chroma_cqt(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    n_octaves: SupportsInt | SupportsIndex,
    n_chroma: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
) -> npt.NDArray[np.float32]: ...
def chroma_folded(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    n_octaves: SupportsInt | SupportsIndex,
    n_chroma: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
) -> npt.NDArray[np.float32]: ...
def default_threads() -> int: ...
