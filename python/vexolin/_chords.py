"""Chords from the constant-Q transform: a whole signal (``estimate_chords``)
or one arriving in blocks (``ChordStream``), and their result, ``Chords``.

Both enter through the chords feature's request: ``estimate_chords`` computes
it as every transform is computed, and ``ChordStream`` reads the frames of
its transform's stream. The model (``_chord_model``) scores the frames; one
native decoder finds the chords, over the whole signal or with a lag.
"""

from __future__ import annotations

import copy
import math
import os
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._checks import positive_float, refuses_foreign_keywords, sr_required, whole_number
from vexolin._chord_model import CHUNK_FRAMES, Carry, Scorer, TransformOverflow, chroma_states, confidence, model
from vexolin._docs import fill
from vexolin._features import CHORDS, request
from vexolin._samples import Layout as BlockLayout

# Samples up to this size keep the transform well inside float32 (it
# overflows near 1e36): a ChordStream refuses larger ones before taking them.
_LARGEST_STREAMED = 1e30


@dataclass(frozen=True, eq=False, repr=False)
class Chords:
    """Chords over time: segments and the frames they were decided from.

    :func:`estimate_chords`, :class:`ChordStream` and
    :meth:`Chords.from_frames` make them; each argument below is kept as the
    attribute of its name. ``len`` is the number of segments, and iterating
    gives ``(start, end, label)`` of each.

    Parameters
    ----------
    intervals : ndarray of float64, shape (n, 2)
        Start and end seconds of each segment, one after the other.
    labels : list of str
        The segments' chords in mir_eval's syntax (``"C:maj"``, ``"A:min"``,
        ``"G:7"``, ``"N"`` for no chord).
    confidence : ndarray of float64, shape (n,)
        The mean over each segment's frames of the share of its chord in
        that frame's scores (0 to 1).
    frame_states : ndarray of int16, shape (n_frames,)
        Every frame's state, an index into ``states``.
    states : tuple of str
        The vocabulary's labels.
    sr : float
        Sample rate in Hz of the signal.
    hop_length : int
        Samples between frames.
    vocabulary : str
        ``"majmin"`` or ``"sevenths"``.
    tuning : float or None
        The tuning used, in semitones from A440 (None only for the no frames
        a :class:`ChordStream` returns before it has estimated it).
    first_frame : int
        The index of the first frame in the whole signal.
    params : dict
        The settings they were computed with (``hop_length``, ``tuning``,
        ``vocabulary``, and a store's run's parameters).

    Examples
    --------
    >>> import vexolin
    >>> states = [0] * 4 + [21] * 4 + [24] * 2  # C:maj, A:min, then N
    >>> chords = vexolin.Chords.from_frames(states, vocabulary="majmin", sr=22050, hop_length=512, tuning=0.0)
    >>> len(chords), chords.labels
    (3, ['C:maj', 'A:min', 'N'])
    >>> [(round(start, 3), label) for start, end, label in chords]
    [(0.0, 'C:maj'), (0.081, 'A:min'), (0.174, 'N')]
    """

    intervals: npt.NDArray[np.float64]
    labels: list[str]
    confidence: npt.NDArray[np.float64]
    frame_states: npt.NDArray[np.int16]
    states: tuple[str, ...]
    sr: float
    hop_length: int
    vocabulary: str
    tuning: float | None
    first_frame: int = 0
    params: dict[str, Any] = field(default_factory=dict)

    @classmethod
    def from_frames(cls, frame_states: npt.ArrayLike, *, vocabulary: str, sr: float, hop_length: int,
                    tuning: float | None, end: float | None = None, first_frame: int = 0,
                    frame_confidence: npt.ArrayLike | None = None, params: dict[str, Any] | None = None) -> Chords:
        """Segments of the frames' states, one per run of equal states.

        Frame i covers from half a hop before its centre to half a hop after
        (from 0 for the first; up to ``end`` seconds for the last, when given).

        Parameters
        ----------
        frame_states : array_like of int, shape (n_frames,)
            Every frame's state, an index into the vocabulary's labels
            (``Chords.states``: every quality on every root, then ``N``).
        vocabulary : str
            ``"majmin"`` or ``"sevenths"``.
        sr : float
            Sample rate in Hz.
        hop_length : int
            Samples between frames.
        tuning : float or None
            The tuning used, in semitones from A440 (None: not yet known).
        end : float or None
            Seconds at which the last segment ends; None: half a hop after
            the last frame's centre.
        first_frame : int
            The index of the first frame in the whole signal.
        frame_confidence : array_like of float or None, shape (n_frames,)
            Every frame's confidence, 0 to 1; None means 1.
        params : dict or None
            The settings they were computed with, kept as ``params``.

        Returns
        -------
        Chords
            The segments.

        Examples
        --------
        >>> import vexolin
        >>> chords = vexolin.Chords.from_frames([7, 7, 7, 0], vocabulary="majmin", sr=22050, hop_length=512,
        ...                                     tuning=0.0, end=1.0, frame_confidence=[1.0, 0.5, 0.6, 0.9])
        >>> chords.labels, chords.confidence.round(2).tolist(), float(chords.intervals[-1, 1])
        (['G:maj', 'C:maj'], [0.7, 0.9], 1.0)
        """
        states = model(vocabulary).labels
        codes = np.asarray(frame_states, dtype=np.int16)
        n = len(codes)
        if n and (codes.min() < 0 or codes.max() >= len(states)):
            raise ValueError(f"frame states must index the {len(states)} labels of {vocabulary!r}")
        conf = np.ones(n) if frame_confidence is None else np.asarray(frame_confidence, dtype=np.float64)
        change = np.flatnonzero(np.diff(codes)) + 1
        starts = np.concatenate([[0], change]).astype(np.int64) if n else np.zeros(0, np.int64)
        stops = np.concatenate([change, [n]]).astype(np.int64) if n else np.zeros(0, np.int64)
        frame = hop_length / sr
        edges = (first_frame + np.arange(n + 1) - 0.5) * frame
        edges = np.maximum(edges, 0.0)
        if end is not None and n:
            edges[-1] = max(float(end), float(edges[-2]))
        intervals = np.stack([edges[starts], edges[stops]], axis=1) if n else np.zeros((0, 2))
        means = (np.add.reduceat(conf, starts) / (stops - starts)) if n else np.zeros(0)
        return cls(intervals, [states[int(codes[i])] for i in starts], means, codes, states, float(sr),
                   int(hop_length), vocabulary, None if tuning is None else float(tuning), int(first_frame),
                   dict(params or {}))

    @property
    def frame_labels(self) -> list[str]:
        """The label of every frame.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Chords.from_frames([0, 0, 24], vocabulary="majmin", sr=22050, hop_length=512,
        ...                            tuning=0.0).frame_labels
        ['C:maj', 'C:maj', 'N']
        """
        return [self.states[int(i)] for i in self.frame_states]

    @property
    def frame_times(self) -> npt.NDArray[np.float64]:
        """The centre of every frame in seconds.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Chords.from_frames([0, 0, 24], vocabulary="majmin", sr=22050, hop_length=512,
        ...                            tuning=0.0, first_frame=10).frame_times.round(3).tolist()
        [0.232, 0.255, 0.279]
        """
        frames = self.first_frame + np.arange(len(self.frame_states), dtype=np.float64)
        times: npt.NDArray[np.float64] = frames * (self.hop_length / self.sr)
        return times

    def __len__(self) -> int:
        return len(self.labels)

    def __iter__(self) -> Any:
        """``(start, end, label)`` of each segment."""
        return iter((float(s), float(e), label) for (s, e), label in zip(self.intervals, self.labels))

    def to_lab(self, path: str | os.PathLike[str]) -> None:
        """Write the segments as a ``.lab`` file.

        The file holds :meth:`lab_text`: ``start end label`` lines,
        tab-separated, as mir_eval and annotation tools read them.

        The file is written under a temporary name beside it and renamed
        into place once complete, as the command line writes its outputs: a
        full disk or a kill midway leaves an earlier file as it was, and the
        ``OSError`` names ``path``.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write (replaced if it exists; through a symbolic link,
            what it points to).

        Examples
        --------
        >>> import os, tempfile
        >>> import vexolin
        >>> chords = vexolin.Chords.from_frames([0, 0, 21], vocabulary="majmin", sr=22050, hop_length=512,
        ...                                     tuning=0.0)
        >>> path = os.path.join(tempfile.mkdtemp(), "song.lab")
        >>> chords.to_lab(path)
        >>> open(path).read() == chords.lab_text()
        True
        """
        from vexolin._atomic import write_file

        text = self.lab_text().encode("utf-8")

        def lab(f: Any) -> None:
            f.write(text)

        write_file(os.path.realpath(path) if os.path.islink(path) else path, lab)

    def lab_text(self) -> str:
        """The ``.lab`` lines as one string.

        Returns
        -------
        str
            One ``start<TAB>end<TAB>label`` line per segment, seconds with 6 decimals.

        Examples
        --------
        >>> import vexolin
        >>> text = vexolin.Chords.from_frames([0, 0, 21], vocabulary="majmin", sr=22050, hop_length=512,
        ...                                   tuning=0.0).lab_text()
        >>> [line.split() for line in text.splitlines()]
        [['0.000000', '0.034830', 'C:maj'], ['0.034830', '0.058050', 'A:min']]
        """
        return "".join(f"{s:.6f}\t{e:.6f}\t{label}\n" for s, e, label in self)

    def __repr__(self) -> str:
        span = f"{self.intervals[0, 0]:.2f}-{self.intervals[-1, 1]:.2f} s" if len(self) else "no frames"
        tuning = "None" if self.tuning is None else f"{self.tuning:+.2f}"
        head = f"Chords({len(self)} segments, {span}, vocabulary={self.vocabulary!r}, tuning={tuning})"
        rows = [f"  {s:8.3f} {e:8.3f}  {label:<7} {c:.2f}"
                for (s, e, label), c in zip(list(self)[:12], self.confidence[:12])]
        if len(self) > 12:
            rows.append(f"  ... {len(self) - 12} more")
        return "\n".join([head, *rows])



def _chroma_input(chroma: npt.ArrayLike) -> npt.NDArray[np.float64]:
    c = np.asarray(chroma)
    if c.dtype.kind not in "fiu" or c.ndim != 2 or c.shape[0] != 12:
        raise ValueError(f"chroma must be a real array of shape (12, n_frames) (row 0 is C, as chroma_cqt "
                         f"gives with n_chroma=12), got shape {c.shape} and dtype {c.dtype}")
    values = c.astype(np.float64)
    if not np.isfinite(values).all():
        raise ValueError("chroma holds NaN or infinite values")
    if (values < 0).any():
        raise ValueError("chroma must not be negative")
    return values


@refuses_foreign_keywords
@sr_required
def estimate_chords(
    y: npt.ArrayLike | None = None,
    *,
    sr: float,
    chroma: npt.ArrayLike | None = None,
    vocabulary: str = "majmin",
    hop_length: int = 512,
    tuning: float | None = None,
    workers: int | None = None,
) -> Chords:
    """Chords of a signal, or of chroma you have.

    From a signal: the tuning is estimated (unless given), the transform of
    6 octaves of 36 bins from C2 is computed with it, and a treble and a
    bass chroma of every frame are scored against the vocabulary's chords
    and "no chord", which wins in silence and rests (frames whose loudest
    bin is below about -50 dBFS); a hidden Markov model whose chords keep
    themselves unless the music clearly moves on is decoded by Viterbi.
    From ``chroma`` (12 rows, row 0 C, as :func:`chroma_cqt` gives) the
    bass is unknown and the treble scores alone decide; frames more than
    60 dB below the loudest are ``N``, so pass chroma made with
    ``norm=None`` to keep rests (scaled chroma keeps only its frames of
    zeros).

    Parameters
    ----------
    y : array_like of float, shape (n_samples,) or (..., n_samples)
        Audio samples; channels are mixed down.
    sr : float
        Sample rate in Hz (required: pass the rate :func:`load` returned).
    chroma : array_like, shape (12, n_frames), instead of ``y``
        Chroma frames ``hop_length`` samples apart at ``sr``.
    vocabulary : {"majmin", "sevenths"}
        The 24 major and minor triads and ``N`` (the default); or those
        and the dominant, major and minor sevenths (``7``, ``maj7``,
        ``min7``) on every root.
    hop_length : int
        Samples between frames.
    tuning : float or None
        Semitones in [-0.5, 0.5) from A440; None estimates it
        (:func:`estimate_tuning`). Not used with ``chroma``.
    workers : int or None
        The transform's thread budget, as in :func:`cqt`.

    Returns
    -------
    Chords
        Segments covering the whole signal (``intervals``, ``labels``,
        ``confidence``), every frame's label, the tuning used; ``to_lab``
        writes them as a ``.lab`` file.

    Raises
    ------
    ValueError
        An unknown ``vocabulary``, chroma not of shape (12, n_frames), a
        rate too low for the transform, or an argument out of range.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(sr) / sr
    >>> tone = lambda f: sum(np.sin(2 * np.pi * k * f * t) / k for k in range(1, 5))
    >>> chord = lambda *notes: sum(tone(440.0 * 2 ** ((n - 69) / 12)) for n in notes)
    >>> y = np.concatenate([chord(48, 64, 67, 72), chord(45, 60, 64, 69), np.zeros(sr)])  # C, Am, silence
    >>> chords = vexolin.estimate_chords(y, sr=sr)
    >>> chords.labels
    ['C:maj', 'A:min', 'N']
    >>> chords.intervals.round(1).tolist()
    [[0.0, 1.0], [1.0, 2.0], [2.0, 3.0]]
    """
    model(vocabulary)
    rate = positive_float("sr", sr)
    hop = whole_number("hop_length", hop_length)
    if chroma is not None:
        if y is not None:
            raise TypeError("estimate_chords() takes a signal y or chroma=, not both")
        states, conf = chroma_states(_chroma_input(chroma), rate, hop, vocabulary)
        given = 0.0 if tuning is None else float(tuning)
        params = {"feature": "chords", "hop_length": hop, "tuning": given, "vocabulary": vocabulary}
        return Chords.from_frames(states, vocabulary=vocabulary, sr=rate, hop_length=hop, tuning=given,
                                  frame_confidence=conf, params=params)
    if y is None:
        raise TypeError("estimate_chords() needs a signal y or chroma=")
    from vexolin._core import compute
    from vexolin._samples import rows as sample_rows

    asked = request(CHORDS, {"hop_length": hop, "tuning": tuning, "vocabulary": vocabulary})
    asked.check_nyquist(rate)  # before the samples are read, as every check
    rows, _ = sample_rows(y, True)
    # The channels are mixed down before the transform: one channel's chords.
    signal = rows[0] if len(rows) == 1 else rows.mean(axis=0, dtype=np.float32)
    try:
        found, used = compute(asked, signal, rate, workers, False)
    except TransformOverflow:
        peak = float(np.abs(signal).max(initial=0.0))
        raise ValueError(f"the transform is not finite: samples of up to {peak:.3g} overflow float32, and no "
                         "chord is labelled from infinite scores; scale the audio down") from None
    return Chords.from_frames(found[0], vocabulary=vocabulary, sr=rate, hop_length=hop, tuning=used["tuning"],
                              end=len(signal) / rate, frame_confidence=found[1], params=used.json())


@fill
class ChordStream:
    """Chords of a signal that arrives in blocks, decided with a fixed lag.

    Each block goes through a :class:`Stream` of the transform
    :func:`estimate_chords` reads, frame by frame; the model's Viterbi
    recursion (the decoder of :func:`estimate_chords`) runs as frames come,
    and a frame's chord is decided once ``lag`` seconds of frames after it
    are in, by tracing back from the best state of the newest frame. ``push`` returns the :class:`Chords` of the
    frames it decided (none at first, about one per hop later); ``finish``
    decides the rest as :func:`estimate_chords` would. The stream holds
    ``lag`` seconds of decisions, so its memory does not grow with what
    has been pushed. By default the tuning is estimated from the first 5 s,
    which delays the first chords (``startup_samples``) but not the later ones.

    Parameters
    ----------
    sr : float
        Sample rate in Hz (required).
    lag : float
        Seconds of frames after a frame before its chord is decided (about
        1 s by default; 0 decides every frame as it comes, alone).
    vocabulary : {"majmin", "sevenths"}
        The chords to choose from, as for :func:`estimate_chords`.
    hop_length : int
        Samples between frames, as for :func:`estimate_chords`.
    %(tuning_streamed)s
        The channels are mixed down first, as :func:`estimate_chords` mixes them.

    Attributes
    ----------
    tuning : float or None
        The tuning used, in semitones from A440; None until it is estimated.
        Every :class:`Chords` with frames carries it.
    latency_samples : int
        Samples pushed before a frame's chord is decided, counted from the
        frame's centre, once the stream has started: the transform's
        latency plus the lag.
    latency : float
        The same in seconds.
    startup_samples : int
        Samples held to estimate the tuning before any frame is computed:
        ``TUNING_SECONDS`` (5 s) of them with ``tuning=None``, else 0. The
        first chords are decided once ``max(startup_samples,
        latency_samples)`` samples are in.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(6 * sr) / sr
    >>> a = 440.0 * 2 ** (0.3 / 12)  # A4, 30 cents sharp, and its major triad
    >>> y = sum(np.sin(2 * np.pi * a * r * t) for r in (1, 2 ** (4 / 12), 2 ** (7 / 12)))
    >>> stream = vexolin.ChordStream(sr=sr)
    >>> parts = [stream.push(y[i:i + 4096]) for i in range(0, len(y), 4096)] + [stream.finish()]
    >>> sorted({label for part in parts for label in part.frame_labels}), stream.tuning
    (['A:maj'], 0.3)
    >>> round(stream.latency, 2), round(stream.startup_samples / sr, 2)
    (1.79, 5.0)
    """

    def __init__(self, *, sr: float, lag: float = 1.0, vocabulary: str = "majmin", hop_length: int = 512,
                 tuning: float | None = None) -> None:
        from vexolin import _native
        from vexolin._stream import frames_stream
        from vexolin._tuning import check_tuning

        model(vocabulary)
        self.vocabulary = vocabulary
        self.sr = positive_float("sr", sr)
        self.hop_length = whole_number("hop_length", hop_length)
        if isinstance(lag, bool) or not isinstance(lag, (int, float, np.integer, np.floating)) \
                or not (math.isfinite(lag) and 0.0 <= lag <= 60.0):
            raise ValueError(f"lag must be a number of seconds between 0 and 60, got {lag!r}")
        self.lag = float(lag)
        if tuning is not None:
            check_tuning("tuning", tuning)
        asked = request(CHORDS, {"hop_length": self.hop_length, "tuning": tuning, "vocabulary": vocabulary})
        # The transform estimate_chords computes, frame by frame as they
        # complete; it estimates the tuning from its first samples when none is given.
        self._stream = frames_stream(asked, sr=self.sr, low_latency=True)
        self._lag_frames = int(round(self.lag * self.sr / self.hop_length))
        self._scorer = Scorer.of(vocabulary, self.sr, self.hop_length)
        # The decoding's state: what the next frames' features need of those
        # before, the native decoder, and the scores of the frames it has not
        # decided (at most lag of them), for their confidence. Replaced, never
        # changed in place, once a run of frames is decoded, so that Ctrl-C
        # anywhere in the decoding leaves it as it was before that run.
        self._carry = Carry()
        self._decoder = _native.ChordDecoder(self._scorer.n_states, self._lag_frames)
        self._pending = np.zeros((self._scorer.n_states, 0))
        # The transform stream's frames not yet decoded, and the states and
        # confidences decided but not yet returned.
        self._undecoded: list[npt.NDArray[np.float32]] = []
        self._ready: tuple[list[int], list[float]] = ([], [])
        self._decided = 0
        self._layout: BlockLayout | None = None
        self._finished = False
        self._flushed = False

    @property
    def latency_samples(self) -> int:
        return self._stream.latency_samples + self._lag_frames * self.hop_length

    @property
    def latency(self) -> float:
        return self.latency_samples / self.sr

    @property
    def tuning(self) -> float | None:
        tuning: float | None = self._stream.tuning
        return tuning

    @property
    def startup_samples(self) -> int:
        return self._stream.startup_samples

    @property
    def lag_frames(self) -> int:
        """Frames after a frame that are in before it is decided.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.ChordStream(sr=22050, lag=1.0).lag_frames  # 1 s of 512-sample hops
        43
        """
        return self._lag_frames

    def push(self, block: npt.ArrayLike) -> Chords:
        """Take the next samples and return the chords of the frames now decided.

        A block that is refused (not floats, NaN, another layout, more than
        two axes) is not taken and the stream stays usable. Interrupted
        (Ctrl-C), the push has taken the block whole, and the frames it
        decided or did not yet decide come with the next push or ``finish``.

        Parameters
        ----------
        block : array_like of float, shape (n,), (channels, n) or (n, channels)
            The next samples, read as :func:`estimate_chords` reads a signal
            (a first block with 1 to 8 columns and more rows than that is
            (n_samples, n_channels)); the first block fixes the layout of
            every later one. Channels are mixed down.

        Returns
        -------
        Chords
            The frames this block lets the stream decide (perhaps none).

        Examples
        --------
        >>> import numpy as np
        >>> import vexolin
        >>> stream = vexolin.ChordStream(sr=22050)
        >>> len(stream.push(np.zeros((2, 4096), dtype=np.float32)).frame_states)  # too early to decide
        0
        >>> stream.push(np.zeros((2, 6 * 22050), dtype=np.float32)).labels  # past the 5 s held for the tuning
        ['N']
        """
        if self._finished:
            raise RuntimeError("push after finish: this stream has ended; open a new ChordStream")
        try:
            mono, layout = self._mono(block)
        except KeyboardInterrupt as interrupt:  # taken whole all the same, as Stream.push takes it
            self._take_uncomputed(block, interrupt)
            raise
        taken = self._stream._samples_taken
        try:
            magnitudes = self._stream.push(mono)
        except BaseException:
            if self._stream._samples_taken != taken:
                self._layout = layout
            raise
        self._layout, self._undecoded = layout, [*self._undecoded, magnitudes]
        self._decode()
        return self._emit(final=False)

    def _mono(self, block: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], BlockLayout]:
        """The block mixed down to C-contiguous float32 samples, as estimate_chords mixes a signal, and its layout."""
        from vexolin._samples import block as read_block

        a, layout = read_block(block, self._layout)
        if a.ndim > 2:
            raise ValueError(f"block has shape {np.shape(block)}: a ChordStream takes blocks of shape (n,), "
                             "(channels, n) or (n, channels), and mixes the channels down")
        rows = np.ascontiguousarray(a, dtype=np.float32).reshape(math.prod(a.shape[:-1]), a.shape[-1])
        mono = rows[0] if len(rows) == 1 else rows.mean(axis=0, dtype=np.float32)
        with np.errstate(invalid="ignore"):
            peak = float(np.abs(mono).max(initial=0.0))
        if peak > _LARGEST_STREAMED:  # NaN and infinity are the transform's stream's to refuse
            raise ValueError(f"block has samples of up to {peak:.3g}, so large that the transform would overflow "
                             "float32 and no chord could be labelled; scale the audio down (it was not taken)")
        return mono, layout

    def _take_uncomputed(self, block: npt.ArrayLike, interrupt: KeyboardInterrupt) -> None:
        """Take a block whose push was interrupted before the transform's stream
        had it: whole, its frames left to the next push or ``finish``."""
        try:
            mono, layout = self._mono(block)
        except (TypeError, ValueError) as e:
            interrupt.add_note(f"the block was not taken: {e}")
            return
        if self._stream._take_whole(mono, interrupt):
            self._layout = layout

    def finish(self) -> Chords:
        """End the signal and return the chords of every frame not yet decided.

        Later calls return no frames; after an interrupted one, the next
        returns what it left.

        Returns
        -------
        Chords
            The remaining frames, decided as :func:`estimate_chords` would.

        Examples
        --------
        >>> import numpy as np
        >>> import vexolin
        >>> stream = vexolin.ChordStream(sr=22050)
        >>> pushed = stream.push(np.zeros(22050, dtype=np.float32))
        >>> len(pushed.frame_states) + len(stream.finish().frame_states)  # every frame of 1 s, once
        44
        """
        self._finished = True
        if not self._flushed:
            last = self._stream.finish()
            self._undecoded = [*self._undecoded, last]
            self._decode()
            self._flush()
        return self._emit(final=True)

    def _decode(self) -> None:
        """Decode the frames the transform's stream gave, a run of frames at a
        time; each run's result replaces the state at once, so an interrupted
        decoding leaves the frames of the run it was in to the next call."""
        while self._undecoded:
            magnitudes = self._undecoded[0]
            run = magnitudes[:, :CHUNK_FRAMES]
            carry = Carry(self._carry.last, self._carry.levels)
            s, cost = self._scorer.run(run, carry)
            decoder = copy.copy(self._decoder)
            states = decoder.push(s, cost)
            pending = np.concatenate([self._pending, s], axis=1)
            conf = confidence(pending[:, :len(states)], states.astype(np.intp))
            rest = magnitudes[:, run.shape[1]:]
            undecoded = [rest, *self._undecoded[1:]] if rest.shape[1] else self._undecoded[1:]
            ready = (self._ready[0] + states.tolist(), self._ready[1] + conf.tolist())
            self._carry, self._decoder, self._pending, self._undecoded, self._ready = \
                carry, decoder, pending[:, len(states):], undecoded, ready

    def _flush(self) -> None:
        """Decide the frames still pending, tracing back from the best state of the last."""
        decoder = copy.copy(self._decoder)
        states = decoder.finish()
        conf = confidence(self._pending, states.astype(np.intp))
        ready = (self._ready[0] + states.tolist(), self._ready[1] + conf.tolist())
        self._decoder, self._pending, self._ready, self._flushed = decoder, self._pending[:, :0], ready, True

    def _emit(self, final: bool) -> Chords:
        """The frames decided and not yet returned, as Chords."""
        states, conf = self._ready
        first = self._decided
        end = self._stream._samples_taken / self.sr if final and states else None
        chords = Chords.from_frames(np.array(states, dtype=np.int16), vocabulary=self.vocabulary, sr=self.sr,
                                    hop_length=self.hop_length, tuning=self.tuning, end=end, first_frame=first,
                                    frame_confidence=np.array(conf, dtype=np.float64))
        self._decided, self._ready = first + len(states), ([], [])
        return chords

