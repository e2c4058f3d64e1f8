# Types of the native module `_vexolin`. `y` may be any array-like; it is
# read as one mono signal of all its elements and converted to float32.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

def chroma_cqt(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    n_octaves: SupportsInt | SupportsIndex,
    n_chroma: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
) -> npt.NDArray[np.float32]: ...
def cqt_magnitude(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
) -> npt.NDArray[np.float32]: ...
def cqt_complex(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
) -> npt.NDArray[np.complex64]: ...
