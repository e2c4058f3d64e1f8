# Types of the package's private native module: `_vexolin`'s transforms with
# the thread count as an argument (at least 1), an optional cancellation
# token and the filter shape (filter_scale, gamma), the harmonic transform,
# the count `_vexolin` uses, chroma before its frames are scaled, the
# pitch-class row of every bin, and one channel's stream (vexolin.Stream holds
# one per channel; chroma_folded gives the sums, before frames are scaled),
# and the chord model's decoder (the best state of every frame). Unlike in
# `_vexolin`, the transforms' and streams' fmin (cqt_*, hcqt_*, Stream.cqt,
# Stream.hcqt) is in hertz only: NaN, infinite or <= 0 is a ValueError; the
# decoder refuses scores and costs that are not finite.
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

def cqt_complex(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
    gamma: SupportsFloat | SupportsIndex = 0.0,
) -> npt.NDArray[np.complex64]: ...
def hcqt_complex(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    harmonics: Sequence[SupportsFloat | SupportsIndex],
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
    gamma: SupportsFloat | SupportsIndex = 0.0,
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
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
    gamma: SupportsFloat | SupportsIndex = 0.0,
) -> npt.NDArray[np.float32]: ...
def hcqt_magnitude(
    y: npt.ArrayLike,
    sr: SupportsFloat | SupportsIndex,
    hop: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
    harmonics: Sequence[SupportsFloat | SupportsIndex],
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    cancel: Cancel | None = None,
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
    gamma: SupportsFloat | SupportsIndex = 0.0,
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
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
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
    *,
    filter_scale: SupportsFloat | SupportsIndex = 1.0,
) -> npt.NDArray[np.float32]: ...
def default_threads() -> int: ...
def chroma_rows(
    n_bins: SupportsInt | SupportsIndex,
    bins_per_octave: SupportsInt | SupportsIndex,
    n_chroma: SupportsInt | SupportsIndex,
    fmin: SupportsFloat | SupportsIndex,
) -> npt.NDArray[np.int32]: ...
def chord_path(scores: npt.ArrayLike, switch_cost: npt.ArrayLike) -> npt.NDArray[np.int32]: ...

class Stream:
    # No constructor: streams are made by cqt(), hcqt(), chroma() and chroma_folded().
    def __init__(self, /, *args: object, **kwargs: object) -> None: ...
    @staticmethod
    def cqt(
        kind: str,
        sr: SupportsFloat | SupportsIndex,
        hop: SupportsInt | SupportsIndex,
        fmin: SupportsFloat | SupportsIndex,
        n_bins: SupportsInt | SupportsIndex,
        bins_per_octave: SupportsInt | SupportsIndex,
        frames_at_once: SupportsInt | SupportsIndex,
        *,
        filter_scale: SupportsFloat | SupportsIndex = 1.0,
        gamma: SupportsFloat | SupportsIndex = 0.0,
    ) -> Stream: ...
    @staticmethod
    def hcqt(
        kind: str,
        sr: SupportsFloat | SupportsIndex,
        hop: SupportsInt | SupportsIndex,
        fmin: SupportsFloat | SupportsIndex,
        harmonics: Sequence[SupportsFloat | SupportsIndex],
        n_bins: SupportsInt | SupportsIndex,
        bins_per_octave: SupportsInt | SupportsIndex,
        frames_at_once: SupportsInt | SupportsIndex,
        *,
        filter_scale: SupportsFloat | SupportsIndex = 1.0,
        gamma: SupportsFloat | SupportsIndex = 0.0,
    ) -> Stream: ...
    @staticmethod
    def chroma(
        sr: SupportsFloat | SupportsIndex,
        hop: SupportsInt | SupportsIndex,
        bins_per_octave: SupportsInt | SupportsIndex,
        n_octaves: SupportsInt | SupportsIndex,
        n_chroma: SupportsInt | SupportsIndex,
        fmin: SupportsFloat | SupportsIndex,
        frames_at_once: SupportsInt | SupportsIndex,
        *,
        filter_scale: SupportsFloat | SupportsIndex = 1.0,
    ) -> Stream: ...
    @staticmethod
    def chroma_folded(
        sr: SupportsFloat | SupportsIndex,
        hop: SupportsInt | SupportsIndex,
        bins_per_octave: SupportsInt | SupportsIndex,
        n_octaves: SupportsInt | SupportsIndex,
        n_chroma: SupportsInt | SupportsIndex,
        fmin: SupportsFloat | SupportsIndex,
        frames_at_once: SupportsInt | SupportsIndex,
        *,
        filter_scale: SupportsFloat | SupportsIndex = 1.0,
    ) -> Stream: ...
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
