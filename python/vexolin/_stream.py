"""Streams: the transforms of a signal that arrives in blocks, equal bit for
bit to the package functions on the whole signal, with memory that does not
grow with what has been pushed; and ``stream_file``, a file's feature read,
resampled and computed in blocks."""

from __future__ import annotations

import contextlib
import itertools
import math
import os
import threading
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin import _native
from vexolin._checks import not_offered, positive_float
from vexolin._features import STREAMED, Feature, FeatureRequest, request
from vexolin._from_file import check_finite_result
from vexolin._io import read_blocks
from vexolin._samples import Layout, check_range
from vexolin._samples import block as read_block
from vexolin._tuning import band, estimate_tuning, file_tuning
from vexolin._docs import fill

_IN_USE = ("this Stream is taking a block in another thread; a stream takes one block at a time "
           "(use one stream per thread)")
_MONO = Layout((), False)
_NOT_FINITE = "block has non-finite samples (NaN or infinity); it was not taken"
#: Seconds of samples a stream estimating its tuning holds before it
#: computes a frame: the tuning comes from exactly these, so any partition
#: into blocks gives the same. The shortest start whose estimate was within
#: 5 cents of the whole signal's on every synthesised progression, and within
#: 2 on 95 % (bench/stream_tuning_bench.py).
TUNING_SECONDS = 5.0
_NO_RATE = ("Stream needs the sample rate of its blocks: pass sr=..., for example the rate "
            "vexolin.load returned")


@fill
class Stream:
    """The constant-Q transform, its magnitudes or chroma of a signal arriving in blocks.

    Every frame is computed once the samples it reads (at every octave's
    rate) are in, so the frames returned by all pushes and ``finish``, laid
    side by side, equal the package function on the whole signal bit for
    bit, however the signal is cut into blocks. A stream holds a few frames'
    worth of samples at each octave's rate, not what has been pushed.

    Parameters
    ----------
    feature : {"cqt", "cqt_magnitude", "chroma_cqt", "vqt", "vqt_magnitude", "hcqt", "hcqt_magnitude"}
        The package function the stream equals.
    %(sr)s
    low_latency : bool
        Give each frame out as soon as it is complete. By default frames come
        16 at a time, as the engine computes them; one at a time costs more
        (the kernel products take as long for one frame as for 16), and cuts
        the latency by 15 hops.
    check_finite : bool
        Refuse blocks with NaN or infinite samples (the block is not taken).
    **params : dict, optional
        That function's keywords, with its defaults: ``hop_length``,
        ``fmin``, ``n_bins``, ``bins_per_octave``, ``n_octaves``,
        ``n_chroma``, ``filter_scale``, ``gamma``, ``harmonics``. A harmonic
        stream's frames have shape (..., n_harmonics, n_bins, k).
        ``tuning`` defaults as in the function: 0.0 for the transforms
        (which take a number only), and None for chroma: estimated with
        :func:`~vexolin.estimate_tuning` from the first ``TUNING_SECONDS``
        (5 s) of the signal, or all of it if it ends sooner; those samples
        are held and no frame is computed before (``startup_samples``), so
        the same input gives the same tuning and frames however it is cut
        into blocks. Chroma's ``norm`` and ``threshold`` can only be
        ``np.inf`` and 0.0: the threshold is relative to the whole signal's
        largest value, which no frame knows before the end.

    Attributes
    ----------
    tuning : float or None
        The tuning the frames are computed with; None until it is estimated.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> y = np.random.default_rng(0).standard_normal(22050).astype(np.float32)
    >>> stream = vexolin.Stream("chroma_cqt", sr=22050)
    >>> blocks = [stream.push(y[i:i + 4096]) for i in range(0, len(y), 4096)]
    >>> blocks.append(stream.finish())
    >>> np.array_equal(np.concatenate(blocks, axis=-1), vexolin.chroma_cqt(y, sr=22050, tuning=stream.tuning))
    True
    >>> stream.latency_samples, round(stream.latency, 2)
    (42401, 1.92)
    """

    def __init__(self, feature: str, *, sr: float | None = None, low_latency: bool = False,
                 check_finite: bool = True, **params: Any) -> None:
        _streamed(feature)
        if sr is None:
            raise TypeError(_NO_RATE)
        rate = positive_float("sr", sr)
        self._start(_request_of("Stream", feature, params), rate, low_latency, check_finite)

    def _start(self, asked: FeatureRequest, sr: float, low_latency: bool, check_finite: bool,
               transform_only: bool = False) -> None:
        if asked.unstreamable is not None and not transform_only:
            raise ValueError(asked.unstreamable)
        asked.check_nyquist(sr)
        if asked.estimates_tuning:
            band(sr, 65.0, 4200.0)  # the rate the estimate takes, before any block
        self.request = asked
        self.feature = asked.feature.function
        self.sr = sr
        self.params = asked.params
        self.hop_length: int = asked.hop_length
        #: The tuning the frames are computed with; None while it is still to be estimated.
        self.tuning: float | None = asked["tuning"] if "tuning" in asked else None
        self._check_finite = bool(check_finite)
        self._frames_at_once = 1 if low_latency else 16
        # One native stream per channel, made by the first block; the first
        # is made now so that its checks and kernels come before any block
        # (at A440 while the tuning is to be estimated: the transform opens
        # again once it is).
        self._channels: list[_native.Stream] = [self._open_channel()]
        # The samples held until the tuning is estimated from the first of
        # them (rows of channels, and how many per channel); None once the
        # transform has them, or when the tuning was given.
        self._held: tuple[list[npt.NDArray[np.float32]], int] | None = ([], 0) if asked.estimates_tuning else None
        self._startup = max(1, round(TUNING_SECONDS * sr)) if asked.estimates_tuning else 0
        # The channels and which axis of a block is time, fixed by the first block taken.
        self._layout: Layout | None = None
        self._finished = False
        self._lock = threading.Lock()

    def __reduce_ex__(self, protocol: object) -> Any:
        # The native streams hold the samples and frames in flight, shared
        # by a shallow copy; a deep one would need them copied mid-signal.
        raise TypeError("a Stream cannot be copied or pickled: it holds the state of the signal pushed so far "
                        "(open a new Stream and push the same blocks to get a second one)")

    def _open_channel(self) -> _native.Stream:
        opened: _native.Stream = self.request.open_stream(self.sr, self._frames_at_once)
        return opened

    @property
    def latency_samples(self) -> int:
        """Samples pushed before the first frames come out, the tuning known.

        See ``startup_samples`` for a tuning still to be estimated. Later
        frames come out as many samples after their centre, at most. Until
        the tuning is estimated, the transform's at A440.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Stream("cqt", sr=22050).latency_samples, vexolin.Stream("chroma_cqt", sr=22050).latency_samples
        (17825, 42401)
        """
        return int(self._channels[0].latency_samples)

    @property
    def latency(self) -> float:
        """``latency_samples`` in seconds.

        Examples
        --------
        >>> import vexolin
        >>> round(vexolin.Stream("cqt", sr=22050).latency, 3)  # 17825 samples at 22050 Hz
        0.808
        """
        return self.latency_samples / self.sr

    @property
    def startup_samples(self) -> int:
        """Samples held before any frame is computed, while the tuning is unknown.

        They are the first ``TUNING_SECONDS`` (5 s) when the tuning is to be
        estimated, else 0. The tuning is estimated from exactly these
        samples (or from all of a signal that ends before), so the first
        frames come out once ``max(startup_samples, latency_samples)``
        samples are in.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Stream("chroma_cqt", sr=22050).startup_samples, vexolin.Stream("cqt", sr=22050).startup_samples
        (110250, 0)
        """
        return self._startup

    @property
    def n_rows(self) -> int:
        """Rows of every frame: bins, or pitch classes (of all channels of a harmonic stream).

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Stream("cqt", sr=22050, n_bins=60).n_rows, vexolin.Stream("chroma_cqt", sr=22050).n_rows
        (60, 12)
        """
        return int(self._channels[0].n_rows)

    def push(self, block: npt.ArrayLike) -> npt.NDArray[Any]:
        """Take the next samples and return the frames they complete.

        A block that is refused (not floats, NaN, another layout) is not
        taken and the stream stays usable. Interrupted (Ctrl-C), the push
        has taken the block whole in every channel, even while it was still
        converting and checking it, and the frames it computed or did not
        compute come with the next push or ``finish``. After ``finish``
        every push raises ``RuntimeError``.

        Parameters
        ----------
        block : array_like of float, shape (..., n) or (n, n_channels)
            The next samples, read as the functions read a signal: time on
            the last axis, except that a 2-D first block with 1 to 8 columns
            and more rows than that is read as (n_samples, n_channels), as
            audio readers return it. The first block fixes the stream's
            layout: its channels (a stream each) and which axis is time;
            every later block comes in that layout. n may be 0.

        Returns
        -------
        ndarray, shape (..., n_rows, k)
            The k >= 0 frames the block completes.

        Examples
        --------
        >>> import numpy as np
        >>> import vexolin
        >>> stream = vexolin.Stream("cqt_magnitude", sr=22050)
        >>> stream.push(np.zeros((2, 1000), dtype=np.float32)).shape  # too few samples for a frame yet
        (2, 84, 0)
        >>> stream.push(np.zeros((2, 50000), dtype=np.float32)).shape  # stereo: the frames of each channel
        (2, 84, 80)
        >>> stream = vexolin.Stream("cqt_magnitude", sr=22050)
        >>> stream.push(np.zeros((51000, 2), dtype=np.float32)).shape  # as soundfile.read gives stereo
        (2, 84, 80)
        """
        with self._using():
            if self._finished:
                raise RuntimeError("push after finish: this stream has ended; open a new Stream for more samples")
            before = self._samples_taken
            try:
                if self._held is not None:
                    return self._hold(block)
                return self._push(block, before)
            except KeyboardInterrupt as interrupt:
                if self._samples_taken == before:
                    self._take_uncomputed(block, interrupt)
                raise

    def _hold(self, block: npt.ArrayLike) -> npt.NDArray[Any]:
        """Hold the block until the first ``startup_samples`` are in, then
        open the transform at their tuning and compute every frame they and
        the samples after them complete."""
        rows, layout = self._rows(block)
        if self._check_finite and not np.isfinite(rows).all():
            raise ValueError(_NOT_FINITE)
        assert self._held is not None
        held, count = self._held
        # The block is taken here, in one step.
        self._held, self._layout = ([*held, rows], count + rows.shape[-1]), layout
        self._open_tuned(final=False)
        if self._held is not None:
            return np.zeros(layout.leading + (self.n_rows, 0), dtype=self.request.dtype)
        channels = self._channels[: len(rows)]
        frames = _native.Stream.push_channels(channels, np.zeros((len(channels), 0), np.float32), False)
        return frames.reshape(layout.leading + frames.shape[1:])

    def _open_tuned(self, final: bool) -> None:
        """Once the first ``startup_samples`` are held (or at the end, any),
        estimate the tuning from them as the functions estimate it from a
        whole signal, and give every held sample to channels opened at it,
        without computing: the next push or ``finish`` computes them. Until
        the channels have them all, the stream is as it was, so an
        interrupted call leaves it to the next one."""
        assert self._held is not None
        held, count = self._held
        if count == 0 or (count < self._startup and not final):
            return
        rows = held[0] if len(held) == 1 else np.concatenate(held, axis=-1)
        tuning = estimate_tuning(rows[:, : self._startup], sr=self.sr, check_finite=False)
        asked = self.request.with_tuning(tuning)
        channels = [asked.open_stream(self.sr, self._frames_at_once) for _ in range(len(rows))]
        _native.Stream.take_channels(channels, rows)
        self.request, self.params, self.tuning, self._channels, self._held = \
            asked, asked.params, tuning, channels, None

    def _push(self, block: npt.ArrayLike, before: int) -> npt.NDArray[Any]:
        if (type(block) is np.ndarray and block.ndim == 1 and block.dtype == np.float32
                and self._layout in (None, _MONO) and block.flags.c_contiguous):
            # One channel of float32 samples, as a sound card gives them:
            # the native stream checks them.
            with self._taking(_MONO, before):
                frames: npt.NDArray[Any] = self._channels[0].push(block, self._check_finite)
            return frames
        rows, layout = self._rows(block)
        if len(rows) > 1 and self._check_finite and not np.isfinite(rows).all():
            raise ValueError(_NOT_FINITE)
        self._open_channels(len(rows))
        single = len(rows) == 1 and self._check_finite
        with self._taking(layout, before):
            # Every channel takes the block, and the frames leave only once all have computed them.
            frames = _native.Stream.push_channels(self._channels[: len(rows)], rows, single)
        return frames.reshape(layout.leading + frames.shape[1:])

    def _take_uncomputed(self, block: npt.ArrayLike, interrupt: KeyboardInterrupt) -> bool:
        """Take a block a push was interrupted in before it reached the native
        streams, as they take it when interrupted there: whole, without computing.
        A block that would have been refused is not taken, and the interrupt says so."""
        try:
            rows, layout = self._rows(block)
            if self._check_finite and not np.isfinite(rows).all():
                raise ValueError(_NOT_FINITE)
        except (TypeError, ValueError) as e:
            interrupt.add_note(f"the block was not taken: {e}")
            return False
        if self._held is not None:
            held, count = self._held
            self._held, self._layout = ([*held, rows], count + rows.shape[-1]), layout
            return True
        self._open_channels(len(rows))
        _native.Stream.take_channels(self._channels[: len(rows)], rows)
        self._layout = layout
        return True

    @property
    def _samples_taken(self) -> int:
        """Samples per channel taken so far."""
        return self._held[1] if self._held is not None else int(self._channels[0].pushed)

    def _take_whole(self, block: npt.ArrayLike, interrupt: KeyboardInterrupt) -> bool:
        """Take a block whose push was interrupted before it began, as ``push``
        takes one interrupted while converting it; whether it was taken."""
        with self._using():
            return not self._finished and self._take_uncomputed(block, interrupt)

    def _open_channels(self, count: int) -> None:
        while len(self._channels) < count:
            self._channels.append(self._open_channel())

    def finish(self) -> npt.NDArray[Any]:
        """End the signal: pad its end as the package function does.

        Later calls return no frames; after an interrupted one, the next
        returns what it left.

        Returns
        -------
        ndarray, shape (..., n_rows, k)
            The remaining frames (none for a stream that got no samples).

        Examples
        --------
        >>> import numpy as np
        >>> import vexolin
        >>> stream = vexolin.Stream("chroma_cqt", sr=22050)
        >>> stream.push(np.zeros(22050, dtype=np.float32)).shape[-1] + stream.finish().shape[-1]
        44
        >>> stream.finish().shape  # already finished: no more frames
        (12, 0)
        """
        with self._using():
            self._finished = True
            if self._held is not None:
                self._open_tuned(final=True)
            leading = self._layout.leading if self._layout is not None else ()
            self._open_channels(max(1, math.prod(leading)))  # a stream that took no sample has one
            channels = self._channels[: max(1, math.prod(leading))]
            frames = _native.Stream.finish_channels(channels)
            if channels[0].pushed == 0:
                frames = frames[..., :0]
            return frames.reshape(leading + frames.shape[1:])

    @contextlib.contextmanager
    def _taking(self, layout: Layout, before: int) -> Iterator[None]:
        """Fixes the stream's layout once a block is taken, even by a push that is interrupted."""
        try:
            yield
        except BaseException:
            if self._channels[0].pushed != before:
                self._layout = layout
            raise
        self._layout = layout

    @contextlib.contextmanager
    def _using(self) -> Iterator[None]:
        if not self._lock.acquire(blocking=False):
            raise RuntimeError(_IN_USE)
        try:
            yield
        finally:
            self._lock.release()

    def _rows(self, block: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], Layout]:
        a, layout = read_block(block, self._layout)
        if self._check_finite:
            check_range(a, "block")
        rows = np.ascontiguousarray(a, dtype=np.float32).reshape(math.prod(layout.leading), a.shape[-1])
        return rows, layout


def _streamed(feature: object) -> Feature:
    """The feature a stream of ``feature`` (a package function's name) computes."""
    if not isinstance(feature, str) or feature not in STREAMED:
        raise ValueError(f"feature must be one of {', '.join(map(repr, STREAMED))}, got {feature!r}")
    return STREAMED[feature]


def _request_of(caller: str, feature: str, params: dict[str, Any]) -> FeatureRequest:
    """The request of a stream's ``feature`` (a package function's name) with the keywords given."""
    described = _streamed(feature)
    known = {param.name for param in described.params}
    unknown = sorted(set(params) - known)
    for keyword in unknown:
        reason = not_offered(feature, keyword, f"{caller}({feature!r})")
        if reason is not None:
            raise TypeError(reason)
    if unknown:
        raise TypeError(f"{caller}({feature!r}) got an unexpected keyword argument {unknown[0]!r} "
                        f"(it takes {', '.join(sorted(known))})")
    return request(described, params)


def stream_of(asked: FeatureRequest, *, sr: float, low_latency: bool = False, check_finite: bool = True) -> Stream:
    """A :class:`Stream` of a request made at an entry (see ``asked.streams``)."""
    stream = Stream.__new__(Stream)
    stream._start(asked, positive_float("sr", sr), low_latency, check_finite)
    return stream


def frames_stream(asked: FeatureRequest, *, sr: float, low_latency: bool = False) -> Stream:
    """A :class:`Stream` of the frames of ``asked``'s native transform, the
    feature's ``finish`` left to the caller: a ChordStream's magnitudes, which
    it decodes with a lag rather than at the end."""
    stream = Stream.__new__(Stream)
    stream._start(asked, positive_float("sr", sr), low_latency, True, transform_only=True)
    return stream


@fill
def stream_file(
    path: str | os.PathLike[str],
    feature: str,
    *,
    block_frames: int = 65536,
    sr: int | None = None,
    mono: bool = True,
    **params: Any,
) -> Iterator[npt.NDArray[Any]]:
    """A file's feature, frames block by block.

    The file is read ``block_frames`` samples per channel at a time, mixed
    down when ``mono``, and resampled to ``sr`` (None: the file's own rate)
    as it is read. Laid side by side, the blocks equal ``feature`` of
    ``vexolin.load(path, sr=sr, mono=mono)`` with the same ``params``, bit
    for bit: soxr's streaming resampler gives the samples of its one-call
    form, whatever the blocks. ``params`` are the feature's, with its
    defaults: for ``"chroma_cqt"``, ``tuning=None`` (the default) is
    estimated as :func:`chroma_cqt` estimates it, from a first pass over the
    file that keeps only the frames the estimate reads. Memory stays
    bounded whatever the file's length.

    Parameters
    ----------
    path : str or os.PathLike
        The audio file.
    feature : str
        The package function whose frames are wanted: one a :class:`Stream`
        takes (``"cqt"``, ``"cqt_magnitude"``, ``"chroma_cqt"``, ...).
    block_frames : int
        Samples per channel read at a time.
    sr : int or None
        Rate to resample to; None keeps the file's own.
    %(mono)s
    **params : dict, optional
        The feature's keywords (``hop_length``, ``n_bins``, ``tuning``, ...),
        with its defaults.

    Yields
    ------
    ndarray, shape (..., n_rows, k)
        The next frames of the file (k >= 1), in order.

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
    asked = _request_of("stream_file", feature, params)
    for frames in FileFrames(path, asked, sr=sr, mono=mono, block_frames=block_frames):
        if frames.shape[-1]:
            yield frames


#: Samples per channel a file is read in, unless told otherwise.
BLOCK_FRAMES = 1 << 16


class FileFrames:
    """A file's feature computed a block of samples at a time: iterating
    gives the frames of each block, then the last ones (any may be empty);
    equal, laid side by side, to the request on the whole file as loaded.

    The one loop every streamed file goes through: ``stream_file``, the
    command line, and batch's long files. The tuning, when it is to be
    estimated, comes from a first pass that keeps only the frames the
    estimate reads. Frames that are not finite (samples so large that the
    transform overflows) raise ``ValueError`` naming the samples' peak.
    """

    def __init__(self, path: str | os.PathLike[str], asked: FeatureRequest, *, sr: int | None, mono: bool,
                 block_frames: int | None = None) -> None:
        self.path = path
        self._sr, self._mono = sr, mono
        self._block = BLOCK_FRAMES if block_frames is None else block_frames
        if asked.estimates_tuning:
            # Samples large enough to overflow fail below, with the reason, not with numpy's warning.
            with np.errstate(over="ignore", invalid="ignore"):
                asked = asked.with_tuning(file_tuning(path, sr=sr, mono=mono, block_frames=self._block))
        #: The request as computed, its tuning estimated if it was to be.
        self.request = asked
        #: The rate of the frames, once iterating has begun.
        self.sr = 0
        #: Samples per channel read so far, and the largest of them in size.
        self.n_samples = 0
        self.peak = 0.0

    def __iter__(self) -> Iterator[npt.NDArray[Any]]:
        with read_blocks(self.path, self._block, self._sr, self._mono) as (rate, blocks):
            self.sr = rate
            stream = stream_of(self.request, sr=rate, check_finite=False)  # the blocks are checked
            for samples in itertools.chain(blocks, [None]):
                if samples is not None and stream._layout is None:  # (n,) or (channels, n), however short
                    stream._layout = Layout(samples.shape[:-1], False)
                if samples is None:
                    frames = stream.finish()
                else:
                    self.n_samples += samples.shape[-1]
                    self.peak = max(self.peak, float(np.abs(samples).max(initial=0.0)))
                    with np.errstate(over="ignore", invalid="ignore"):
                        frames = stream.push(samples)
                check_finite_result(frames, self.peak)
                yield frames
