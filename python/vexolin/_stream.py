"""Streams: the transforms of a signal that arrives in blocks, equal bit for
bit to the package functions on the whole signal, with memory that does not
grow with what has been pushed; and ``stream_file``, a file's feature read,
resampled and computed in blocks."""

from __future__ import annotations

import contextlib
import math
import os
import threading
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import soundfile  # type: ignore[import-untyped]
import soxr  # type: ignore[import-untyped]

from vexolin import _native
from vexolin._checks import positive_float, whole_number
from vexolin._core import stop_if_cancelled
from vexolin._features import CHROMA, CQT, Feature
from vexolin._io import AudioFileError, _open
from vexolin._tuning import ENERGY_STEP, band, candidate_starts, chosen, energy, frame_length, from_frames, tuned_fmin

# The package function each stream feature equals, with its description and
# the native stream's output.
_KINDS: dict[str, tuple[Feature, str]] = {
    "cqt": (CQT, "complex"),
    "cqt_magnitude": (CQT, "magnitude"),
    "chroma_cqt": (CHROMA, "chroma"),
}

_IN_USE = ("this Stream is taking a block in another thread; a stream takes one block at a time "
           "(use one stream per thread)")
_NOT_FINITE = "block has non-finite samples (NaN or infinity); it was not taken"
_NO_TUNING = ("a Stream cannot estimate the tuning ahead of its input: pass tuning= a number of semitones "
              "in [-0.5, 0.5), for example vexolin.estimate_tuning of some of the audio (default 0.0, A440)")
_NO_RATE = ("Stream needs the sample rate of its blocks: pass sr=..., for example the rate "
            "vexolin.load returned")


class Stream:
    """The constant-Q transform, its magnitudes or chroma of a signal that
    arrives in blocks.

    Every frame is computed once the samples it reads (at every octave's
    rate) are in, so the frames returned by all pushes and ``finish``, laid
    side by side, equal the package function on the whole signal bit for
    bit, however the signal is cut into blocks. A stream holds a few frames'
    worth of samples at each octave's rate, not what has been pushed.

    Parameters
    ----------
    feature : {"cqt", "cqt_magnitude", "chroma_cqt"}
        The package function the stream equals.
    sr : float
        Sample rate in Hz (required).
    hop_length, fmin, n_bins, bins_per_octave, n_octaves, n_chroma
        That function's parameters, with its defaults.
    tuning : float
        Semitones in [-0.5, 0.5) from A440, whatever ``bins_per_octave`` is;
        0.0 for every feature, chroma included: a stream cannot estimate the
        tuning ahead of its input, so pass :func:`estimate_tuning` of some of
        the audio, or a number. Every bin moves by ``2**(tuning / 12)``, as in
        the functions.
    norm, threshold
        Chroma's: only ``np.inf`` and 0.0. The threshold is relative to the
        whole signal's largest value, which no frame knows before the end.
    low_latency : bool
        Give each frame out as soon as it is complete. By default frames come
        16 at a time, as the engine computes them; one at a time costs more
        (the kernel products take as long for one frame as for 16), and cuts
        the latency by 15 hops.
    check_finite : bool
        Refuse blocks with NaN or infinite samples (the block is not taken).

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> y = np.random.default_rng(0).standard_normal(22050).astype(np.float32)
    >>> stream = vexolin.Stream("chroma_cqt", sr=22050)
    >>> blocks = [stream.push(y[i:i + 4096]) for i in range(0, len(y), 4096)]
    >>> blocks.append(stream.finish())
    >>> np.array_equal(np.concatenate(blocks, axis=-1), vexolin.chroma_cqt(y, sr=22050, tuning=0.0))
    True
    >>> stream.latency_samples, round(stream.latency, 2)
    (42401, 1.92)
    """

    def __init__(self, feature: str, *, sr: float | None = None, low_latency: bool = False,
                 check_finite: bool = True, **params: Any) -> None:
        if feature not in _KINDS:
            raise ValueError(f"feature must be one of {', '.join(map(repr, _KINDS))}, got {feature!r}")
        if sr is None:
            raise TypeError(_NO_RATE)
        description, self._kind = _KINDS[feature]
        known = {param.name for param in description.params}
        unknown = sorted(set(params) - known)
        if unknown:
            raise TypeError(f"Stream({feature!r}) got an unexpected keyword argument {unknown[0]!r} "
                            f"(it takes {', '.join(sorted(known))})")
        given = {"tuning": 0.0, **params}
        if given["tuning"] is None:
            raise ValueError(_NO_TUNING)
        self.feature = feature
        self.sr = positive_float("sr", sr)
        self.params = description.resolve(given)
        if self.params.get("norm", "inf") != "inf":
            raise ValueError(f"a Stream scales chroma frames to their largest value only (norm=np.inf), got "
                             f"norm={self.params['norm']!r}; use vexolin.chroma_cqt on the whole signal")
        if self.params.get("threshold", 0.0) != 0.0:
            raise ValueError("a Stream takes no threshold: it is relative to the whole signal's largest value, "
                             "unknown until the end; use vexolin.chroma_cqt on the whole signal")
        description.check_nyquist(self.sr, self.params)
        self.hop_length: int = self.params["hop_length"]
        self._check_finite = bool(check_finite)
        self._frames_at_once = 1 if low_latency else 16
        self._args = description.native_args({**self.params,
                                              "fmin": tuned_fmin(self.params["fmin"], self.params["tuning"])})
        # One native stream per channel, made by the first block; the first
        # is made now so that its checks and kernels come before any block.
        self._channels: list[_native.Stream] = [self._open_channel()]
        self._leading: tuple[int, ...] | None = None
        self._n_samples = 0
        self._finished = False
        self._lock = threading.Lock()

    def _open_channel(self) -> _native.Stream:
        if self._kind == "chroma":
            chroma: Callable[..., _native.Stream] = _native.Stream.chroma
            return chroma(self.sr, self.hop_length, *self._args, self._frames_at_once)
        cqt: Callable[..., _native.Stream] = _native.Stream.cqt
        return cqt(self._kind, self.sr, self.hop_length, *self._args, self._frames_at_once)

    @property
    def latency_samples(self) -> int:
        """Samples pushed before the first frames come out; later frames come
        out as many samples after their centre, at most."""
        return int(self._channels[0].latency_samples)

    @property
    def latency(self) -> float:
        """``latency_samples`` in seconds."""
        return self.latency_samples / self.sr

    @property
    def n_rows(self) -> int:
        """Rows of every frame: bins, or pitch classes."""
        return int(self._channels[0].n_rows)

    def push(self, block: npt.ArrayLike) -> npt.NDArray[Any]:
        """Take the next samples and return the frames they complete.

        ``block`` has shape (..., n): the leading shape, fixed by the first
        block, gives a stream per channel; n may be 0. Returns shape
        (..., n_rows, k), k >= 0. A block that is refused (not floats, NaN,
        another leading shape) is not taken and the stream stays usable.
        After ``finish`` every push raises ``RuntimeError``.
        """
        if not self._lock.acquire(blocking=False):
            raise RuntimeError(_IN_USE)
        try:
            if self._finished:
                raise RuntimeError("push after finish: this stream has ended; open a new Stream for more samples")
            if (type(block) is np.ndarray and block.ndim == 1 and block.dtype == np.float32
                    and not self._leading and block.flags.c_contiguous):
                # One channel of float32 samples, as a sound card gives them:
                # the native stream checks them.
                frames: npt.NDArray[Any] = self._channels[0].push(block, self._check_finite)
                self._leading = ()
                self._n_samples += block.shape[0]
                return frames
            rows, leading = self._rows(block)
            if len(rows) > 1 and self._check_finite and not np.isfinite(rows).all():
                raise ValueError(_NOT_FINITE)
            while len(self._channels) < len(rows):
                self._channels.append(self._open_channel())
            single = len(rows) == 1 and self._check_finite
            frames = self._stacked([channel.push(row, single) for channel, row in zip(self._channels, rows)],
                                   leading)
            self._leading = leading
            self._n_samples += rows.shape[-1]
            return frames
        finally:
            self._lock.release()

    def finish(self) -> npt.NDArray[Any]:
        """End the signal: pad its end as the package function does and return
        the remaining frames (none for a stream that got no samples). Later
        calls return no frames."""
        with self._using():
            self._finished = True
            channels = self._channels[: max(1, math.prod(self._leading or ()))]
            frames = [channel.finish() for channel in channels]
            if self._n_samples == 0:
                frames = [frame[:, :0] for frame in frames]
            return self._stacked(frames, self._leading or ())

    @contextlib.contextmanager
    def _using(self) -> Iterator[None]:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError(_IN_USE)
        try:
            yield
        finally:
            self._lock.release()

    def _rows(self, block: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], tuple[int, ...]]:
        try:
            a = np.asarray(block)
        except ValueError as e:  # ragged nested sequences
            raise TypeError(f"block must be an array of samples: {e}") from None
        if a.dtype.kind != "f":
            hint = " (scale integer PCM to floats first, e.g. block / 32768)" if a.dtype.kind in "iub" else ""
            raise TypeError(f"block must hold floating-point samples, got dtype {a.dtype}{hint}")
        if a.ndim == 0:
            raise ValueError("block must have a time axis (its last), got a scalar")
        leading = a.shape[:-1]
        if self._leading is not None and leading != self._leading:
            raise ValueError(f"block has leading shape {leading}, but the first block fixed this stream's at "
                             f"{self._leading} (time is the last axis)")
        rows = np.ascontiguousarray(a, dtype=np.float32).reshape(math.prod(leading), a.shape[-1])
        return rows, leading

    @staticmethod
    def _stacked(frames: list[npt.NDArray[Any]], leading: tuple[int, ...]) -> npt.NDArray[Any]:
        if not leading:
            return frames[0]
        stacked = np.stack(frames)
        return stacked.reshape(leading + stacked.shape[1:])


def stream_file(
    path: str | os.PathLike[str],
    feature: str,
    *,
    block_frames: int = 65536,
    sr: int | None = None,
    mono: bool = True,
    **params: Any,
) -> Iterator[npt.NDArray[Any]]:
    """A file's feature, frames block by block: the file is read
    ``block_frames`` samples per channel at a time, mixed down when ``mono``,
    and resampled to ``sr`` (None: the file's own rate) as it is read.

    Laid side by side, the blocks equal ``feature`` of
    ``vexolin.load(path, sr=sr, mono=mono)`` bit for bit: soxr's streaming
    resampler gives the samples of its one-call form, whatever the blocks.
    ``params`` are the feature's (as for :class:`Stream`). Memory stays
    bounded whatever the file's length.

    Raises
    ------
    AudioFileError
        The file is missing, a directory, or cannot be decoded.
    ValueError
        A parameter is out of range, or the file holds no samples or NaN or
        infinite ones.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin
    >>> path = os.path.join(tempfile.mkdtemp(), "noise.wav")
    >>> soundfile.write(path, np.random.default_rng(1).uniform(-0.5, 0.5, 44100), 22050)
    >>> blocks = list(vexolin.stream_file(path, "cqt_magnitude", block_frames=8192))
    >>> y, sr = vexolin.load(path)
    >>> np.array_equal(np.concatenate(blocks, axis=-1), vexolin.cqt_magnitude(y, sr=sr))
    True
    """
    with file_blocks(path, block_frames, sr, mono) as (rate, signal):
        stream = Stream(feature, sr=rate, **params)
        for samples in signal:
            frames = stream.push(samples)
            if frames.shape[-1]:
                yield frames
        frames = stream.finish()
        if frames.shape[-1]:
            yield frames


@contextlib.contextmanager
def file_blocks(path: str | os.PathLike[str], block_frames: int, sr: int | None,
                mono: bool) -> Iterator[tuple[int, Iterator[npt.NDArray[np.float32]]]]:
    """The file's rate (``sr`` when given) and its samples in blocks: read,
    mixed down when ``mono`` and resampled as ``vexolin.load`` does, checked
    finite; C-contiguous float32 of shape (n,) or (channels, n)."""
    block = whole_number("block_frames", block_frames)
    target = None if sr is None else whole_number("sr", sr)
    name, f = _open(path)
    with f:
        native = f.samplerate
        rate = native if target is None else target
        resampler = None
        if target is not None and target != native:
            resampler = soxr.ResampleStream(native, target, 1 if mono else f.channels, dtype="float32")

        def blocks() -> Iterator[npt.NDArray[np.float32]]:
            any_samples = False
            while True:
                stop_if_cancelled()
                try:
                    data = f.read(block, dtype="float32", always_2d=True)
                except (soundfile.LibsndfileError, RuntimeError) as e:
                    raise AudioFileError(name, f"cannot decode: {e}") from None
                last = len(data) < block
                signal = (data[:, 0] if data.shape[1] == 1 else data.mean(axis=1, dtype=np.float32)) if mono else data
                any_samples = any_samples or len(signal) > 0
                if resampler is not None and any_samples:
                    signal = resampler.resample_chunk(signal, last=last)
                if not np.isfinite(signal).all():
                    raise ValueError("the file holds NaN or infinite samples")
                yield np.ascontiguousarray(signal.T, dtype=np.float32)
                if last:
                    break
            if not any_samples:
                raise ValueError("the file holds no samples")

        yield rate, blocks()


def file_tuning(path: str | os.PathLike[str], *, sr: int | None = None, block_frames: int = 65536) -> float:
    """``estimate_tuning(vexolin.load(path, sr=sr)[0], sr=...)``, reading the
    file in blocks: once to count its samples, once to keep just the frames
    the estimate may read (their places depend on the length alone), so
    memory stays bounded whatever the length. The samples are
    ``stream_file``'s, so the estimate is the one of the whole signal."""
    with file_blocks(path, block_frames, sr, True) as (rate, signal):
        n_samples = sum(samples.shape[-1] for samples in signal)
    n_fft = frame_length(rate)
    length = min(n_fft, n_samples)
    starts = candidate_starts(n_samples, n_fft)
    frames = np.zeros((len(starts), length), dtype=np.float32)
    with file_blocks(path, block_frames, sr, True) as (_, signal):
        at = 0
        for samples in signal:
            end = at + samples.shape[-1]
            # The candidates this block overlaps: ends after it starts, starts before it ends.
            for i in range(int(np.searchsorted(starts + length, at, side="right")),
                           int(np.searchsorted(starts, end, side="left"))):
                first, stop = max(int(starts[i]), at), min(int(starts[i]) + length, end)
                frames[i, first - starts[i]: stop - starts[i]] = samples[first - at: stop - at]
            at = end
    if len(starts) > 1:
        frames = frames[chosen(starts, energy(frames[:, ::ENERGY_STEP]))]
    _, low, high = band(rate, 65.0, 4200.0)
    return from_frames(frames, rate, n_fft, low, high)
