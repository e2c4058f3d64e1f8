# Types of the package's private native module: the one description of a
# transform (layout, filter shape, harmonics, and its output: complex,
# magnitude, chroma, or chroma_sums before frames are scaled), its one call
# with the thread count as an argument (at least 1) and an optional
# cancellation token, and its one stream (vexolin.Stream holds one per
# channel); the count `_vexolin` uses, the pitch-class row of every bin, and
# the chord model's decoder (the best state of every frame). Unlike in
# `_vexolin`, fmin is in hertz only: NaN, infinite or <= 0 is a ValueError;
# the decoder refuses scores and costs that are not finite.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

class Cancel:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

class Cancelled(Exception): ...

class Transform:
    def __init__(
        self,
        *,
        hop: SupportsInt | SupportsIndex,
        fmin: SupportsFloat | SupportsIndex,
        n_bins: SupportsInt | SupportsIndex,
        bins_per_octave: SupportsInt | SupportsIndex,
        filter_scale: SupportsFloat | SupportsIndex = 1.0,
        gamma: SupportsFloat | SupportsIndex = 0.0,
        harmonics: Sequence[SupportsFloat | SupportsIndex] | None = None,
        output: str = "magnitude",
        n_chroma: SupportsInt | SupportsIndex = 12,
    ) -> None: ...
    @property
    def hop(self) -> int: ...
    @property
    def fmin(self) -> float: ...
    @property
    def n_bins(self) -> int: ...
    @property
    def bins_per_octave(self) -> int: ...
    @property
    def filter_scale(self) -> float: ...
    @property
    def gamma(self) -> float: ...
    @property
    def harmonics(self) -> list[float] | None: ...
    @property
    def output(self) -> str: ...
    @property
    def n_chroma(self) -> int: ...
    def check(self, sr: SupportsFloat | SupportsIndex) -> None: ...

def compute(
    transform: Transform,
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
) -> npt.NDArray[np.float32] | npt.NDArray[np.complex64]: ...
def default_threads() -> int: ...
def chroma_rows(
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    n_chroma: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
) -> npt.NDArray[np.int32]: ...
def chord_path(scores: npt.ArrayLike, switch_cost: npt.ArrayLike) -> npt.NDArray[np.int32]: ...

class Stream:
    def __init__(
        self, transform: Transform, sr: SupportsFloat | SupportsIndex, frames_at_once: SupportsInt | SupportsIndex
    ) -> None: ...
    def push(self, y: npt.ArrayLike, check_finite: bool) -> npt.NDArray[np.float32] | npt.NDArray[np.complex64]: ...
    def finish(self) -> npt.NDArray[np.float32] | npt.NDArray[np.complex64]: ...
    # Every channel's stream at once: (n_channels, n_rows, k) frames, taken
    # once all have computed them.
    @staticmethod
    def push_channels(
        streams: list[Stream], rows: npt.ArrayLike, check_finite: bool
    ) -> npt.NDArray[np.float32] | npt.NDArray[np.complex64]: ...
    # Every channel takes its row whole without computing, as an interrupted
    # push does: the frames come with the next push or finish.
    @staticmethod
    def take_channels(streams: list[Stream], rows: npt.ArrayLike) -> None: ...
    @staticmethod
    def finish_channels(streams: list[Stream]) -> npt.NDArray[np.float32] | npt.NDArray[np.complex64]: ...
    @property
    def latency_samples(self) -> int: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def frames_at_once(self) -> int: ...
    @property
    def pushed(self) -> int: ...
    @property
    def finished(self) -> bool: ...
