# Types of the package's private native module: `_vexolin`'s transforms with
# the thread count as an argument (at least 1), the count `_vexolin` uses, and
# chroma before its frames are scaled.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

def cqt_complex(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
) -> npt.NDArray[np.complex64]: ...
def cqt_magnitude(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
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
) -> npt.NDArray[np.float32]: ...
def default_threads() -> int: ...
