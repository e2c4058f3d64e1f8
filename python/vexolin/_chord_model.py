"""The chord model: what ``estimate_chords`` and ``ChordStream`` read of the
constant-Q transform, frame by frame, and how they score and decode it. It
imports nothing of the package above the ground floor, so the features'
table (``_features``) describes chords with it.

The model, per frame of the transform (6 octaves of 36 bins from C2, tuned):

- every bin's magnitude is scaled to the amplitude of a sine in it, then
  divided by the frame's largest and compressed, ``log(1 + gamma * x)``;
- folded onto pitch classes twice: a treble chroma from about C4 up (a
  smooth window over the bins' pitch) and a bass chroma that falls off
  from C2 and ends near C4;
- a chord scores the cosine of the treble chroma with its template (its
  tones, each with the pitch classes of its first partials at falling
  weights), plus the log of the bass chroma's share on its tones, plus a
  bias per quality (a major or minor triad scores at least as its root's
  sus4 does, less a little: a 4-3 suspension is the chord it resolves to;
  a major triad at least as its dominant seventh without the fifth does,
  less a little, as the majmin vocabulary counts a seventh);
  "no chord" (``N``) scores a constant and a bonus that
  grows as the frame's level falls below a silence level (dBFS of its
  loudest bin), so rests and silence give ``N``; in the sevenths model it
  scores at least the treble cosine with a flat chroma less a margin, so
  noise, whose chroma is flat, gives ``N`` though a four-tone template
  matches a flat chroma better than a triad's does;
- a hidden Markov model whose states stay or jump (every jump costs the same)
  is decoded by Viterbi (``vexolin._native``'s decoder, for a whole signal
  and a stream alike). Scores are per 23.2 ms (512 samples at 22.05 kHz)
  of frame, so other hops and rates smooth alike in seconds.

Its constants (``_MODELS``) were chosen by coordinate search on renders of
chord progressions made by bench/chord_renders.py (seeds 1000-1047 and
2000-2023, General MIDI instruments through fluidsynth); both models' were
searched again by bench/chord_fit.py on seeds 1000-1007 and 2000-2007
(FluidR3_GM, TimGM6mb), with additive chords voiced low for the sevenths'
gate on the weakest tone, and pieces with suspensions and pedal notes
(seeds 3000-3011) and white noise for the majmin model; the majmin
model's onset scale and its suspension term were then searched on those
and on four-voice progressions with a chord about every beat, made by
bench/fast_progressions.py (seeds 5000-5015); its dominant-seventh term
and N's constant (raised so that white noise stays N) were chosen on the
same two fitting sets, after bench/chord_frame_misses.py showed dominant
sevenths to be the chords the frame scores missed most there. The sevenths
model's flat margin was searched on the sevenths' fitting set with white
and pink noise and a train of noise bursts (seeded) that must give ``N``,
as audio and as chroma. The benchmark scores other seeds. Nothing is
learned or downloaded at run time.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

#: Pitch-class names of chord roots, as labels spell them.
ROOTS = ("C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B")
#: Semitones above the root of each quality's tones.
QUALITIES: dict[str, tuple[int, ...]] = {
    "maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10), "maj7": (0, 4, 7, 11), "min7": (0, 3, 7, 10)}
NO_CHORD = "N"

# The transform the model reads: 6 octaves of 36 bins from C2.
C2_HZ = 65.40639132514966
BINS_PER_OCTAVE = 36
N_OCTAVES = 6
N_BINS = BINS_PER_OCTAVE * N_OCTAVES
# The frame duration the scores are for: 512 samples at 22.05 kHz.
_REFERENCE_FRAME = 512 / 22050
# A sine of amplitude 1 at a bin's centre has magnitude 3.604 * sqrt(sr / f) there.
_SINE_MAGNITUDE = 3.604
_TINY = 1e-12


@dataclass(frozen=True)
class Model:
    """The constants of a vocabulary's model."""

    qualities: tuple[str, ...]
    #: Compression of each frame's magnitudes (scaled to its largest): log(1 + gamma * x).
    gamma: float
    #: Partials in a tone's template, and the weight of partial k: decay ** (k - 1).
    partials: int
    decay: float
    #: Weight of the treble cosine, and of the log bass share.
    treble: float
    bass: float
    #: Added to the bass share before its log: how little a bass off the chord costs.
    bass_floor: float
    #: A quality's bias, by name.
    bias: dict[str, float]
    #: N: its cosine-like constant, bass share, and bonus when quiet.
    no_chord: float
    no_chord_bass: float
    quiet_bonus: float
    #: The silence level (dBFS of a frame's loudest bin) and its width in dB.
    silence_db: float
    silence_width: float
    #: What a jump costs against staying, per 23.2 ms frame's scores, away
    #: from onsets; at an onset of strength o (the mean rise of the treble
    #: bins' compressed magnitudes from the frame before) it is scaled by
    #: floor + (1 - floor) * exp(-o / onset_scale): chords change at onsets.
    switch: float
    onset_scale: float
    onset_floor: float
    #: N's bonus when the level falls: drop_bonus * clip((loudest of the last
    #: drop_seconds - level - drop_db) / drop_width, 0, 1): a release ends a chord.
    drop_seconds: float
    drop_db: float
    drop_width: float
    drop_bonus: float
    #: A seventh chord's gate: it loses seventh_weight * (seventh_level - r) when r is below seventh_level,
    #: r = w / (w + t), w the least heard of its four tones, t the mean of the
    #: other three; a tone is heard as the larger of the treble and the bass
    #: chroma on it, each scaled to its loudest class. A seventh chord is
    #: labelled only where all four tones sound, not where a triad's partials
    #: leak onto a fourth pitch class (its third's third partial is the major
    #: seventh over its root) nor where a triad makes up three of its tones.
    seventh_weight: float = 0.0
    seventh_level: float = 0.0
    #: A triad whose third is held a fourth (a 4-3 suspension) is heard as the
    #: triad it resolves to: each major and minor triad scores at least the
    #: treble cosine with its root's sus4 (root, fourth, fifth) less this; 0: off.
    suspension: float = 0.0
    #: N scores at least the treble cosine with a flat chroma (every pitch
    #: class alike) less this: noise and unpitched sound have no chord, though
    #: a flat chroma's cosine with a four-tone template beats a triad's; 0: off.
    flat_margin: float = 0.0
    #: A dominant seventh is heard as its major triad: each major triad
    #: scores at least the treble cosine with (root, third, minor seventh) less
    #: this; four voices sound a dominant seventh so, its fifth left out. 0: off.
    dominant: float = 0.0

    @property
    def labels(self) -> tuple[str, ...]:
        """The states: every quality on every root, quality by quality, then N."""
        return tuple(f"{root}:{q}" for q in self.qualities for root in ROOTS) + (NO_CHORD,)


_MODELS: dict[str, Model] = {
    "majmin": Model(qualities=("maj", "min"), gamma=1000.0, partials=7, decay=0.9, treble=8.0, bass=0.125,
                    bass_floor=0.03, bias={}, no_chord=0.69, no_chord_bass=0.8, quiet_bonus=10.0,
                    silence_db=-60.0, silence_width=3.0, switch=30.0, onset_scale=0.15, onset_floor=0.25,
                    drop_seconds=0.25, drop_db=10.0, drop_width=5.0, drop_bonus=10.0, suspension=0.05,
                    dominant=0.05),
    "sevenths": Model(qualities=("maj", "min", "7", "maj7", "min7"), gamma=30.0, partials=8, decay=0.95,
                      treble=12.0, bass=0.5, bass_floor=0.01, bias={}, no_chord=0.5,
                      no_chord_bass=0.8, quiet_bonus=10.0, silence_db=-50.0, silence_width=3.0, switch=32.0,
                      onset_scale=0.2, onset_floor=0.75, drop_seconds=0.25, drop_db=10.0, drop_width=5.0,
                      drop_bonus=0.0, seventh_weight=4.0, seventh_level=0.45, flat_margin=0.2),
}

#: The vocabularies, by name.
VOCABULARIES = tuple(_MODELS)


def model(vocabulary: object) -> Model:
    if not isinstance(vocabulary, str) or vocabulary not in _MODELS:
        raise ValueError(f"vocabulary must be one of {', '.join(map(repr, _MODELS))}, got {vocabulary!r}")
    return _MODELS[vocabulary]


def _tone(m: Model) -> npt.NDArray[np.float64]:
    """A tone's pitch-class profile: its partials at their nearest pitch class."""
    profile = np.zeros(12)
    for k in range(1, m.partials + 1):
        profile[int(round(12 * math.log2(k))) % 12] += m.decay ** (k - 1)
    return profile


@dataclass(frozen=True)
class _Tables:
    """A model's templates for one frame duration."""

    treble: npt.NDArray[np.float64]  # (n_chords, 12), unit length
    bass: npt.NDArray[np.float64]  # (n_chords, 12), 1 on the chord's tones
    bias: npt.NDArray[np.float64]  # (n_chords,)
    scale: float  # frame duration / reference frame
    sevenths: npt.NDArray[np.intp]  # the rows of the seventh chords
    tones: npt.NDArray[np.intp]  # (len(sevenths), 4), their pitch classes
    suspended: npt.NDArray[np.float64]  # (12, 12): each root's sus4, unit length
    triads: npt.NDArray[np.intp]  # the rows of the major and minor triads
    triad_roots: npt.NDArray[np.intp]  # their roots
    dominant: npt.NDArray[np.float64]  # (12, 12): each root's dominant seventh without its fifth, unit length
    majors: npt.NDArray[np.intp]  # the rows of the major triads, by root


def _tables(m: Model, scale: float) -> _Tables:
    tone = _tone(m)
    treble, bass, bias, sevenths, four, triads, triad_roots = [], [], [], [], [], [], []
    for q in m.qualities:
        for root in range(12):
            tones = [(root + interval) % 12 for interval in QUALITIES[q]]
            t = sum(np.roll(tone, pc) for pc in tones)
            treble.append(t / np.linalg.norm(t))
            b = np.zeros(12)
            b[tones] = 1.0
            bass.append(b)
            bias.append(m.bias.get(q, 0.0))
            if len(tones) == 4:
                sevenths.append(len(bias) - 1)
                four.append(tones)
            elif q in ("maj", "min"):
                triads.append(len(bias) - 1)
                triad_roots.append(root)

    def unit(intervals: tuple[int, ...]) -> npt.NDArray[np.float64]:
        rows = [sum(np.roll(tone, (root + i) % 12) for i in intervals) for root in range(12)]
        return np.array([t / np.linalg.norm(t) for t in rows])

    majors = [m.qualities.index("maj") * 12 + root for root in range(12)] if "maj" in m.qualities else []
    return _Tables(np.array(treble), np.array(bass), np.array(bias), scale, np.array(sevenths, dtype=np.intp),
                   np.array(four, dtype=np.intp).reshape(len(four), 4), unit((0, 5, 7)),
                   np.array(triads, dtype=np.intp), np.array(triad_roots, dtype=np.intp),
                   unit((0, 4, 10)), np.array(majors, dtype=np.intp))


@dataclass(frozen=True)
class Layout:
    """How the model reads a transform: per bin, its sine scale and its
    weights in the treble and bass chroma."""

    amplitude: npt.NDArray[np.float32]  # (N_BINS,)
    treble: npt.NDArray[np.float32]
    bass: npt.NDArray[np.float32]


def layout(sr: float) -> Layout:
    pitch = 36.0 + np.arange(N_BINS) * 12.0 / BINS_PER_OCTAVE  # MIDI numbers
    hz = 440.0 * 2.0 ** ((pitch - 69.0) / 12.0)
    treble = 1.0 / (1.0 + np.exp(-(pitch - 60.0) / 3.0)) / (1.0 + np.exp((pitch - 96.0) / 3.0))
    bass = np.exp(-(pitch - 36.0) / 20.0) / (1.0 + np.exp((pitch - 60.0) / 3.0))
    amplitude = np.sqrt(hz / sr) / _SINE_MAGNITUDE
    return Layout(amplitude.astype(np.float32), treble.astype(np.float32), bass.astype(np.float32))


def _fold(x: npt.NDArray[np.float32], weight: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Bins (N_BINS, n), weighted, onto 12 pitch classes: class j of an
    octave takes its bins 3j - 1, 3j and 3j + 1 (bin 0 is C2); the very top
    bin is left out. Element by element, so any run of frames gets the same
    values."""
    n = x.shape[1]
    v = (x * weight[:, None]).reshape(N_OCTAVES, 12, 3, n)
    per_class = v[:, :, 0] + v[:, :, 1]
    flat = per_class.reshape(N_OCTAVES * 12, n)
    flat[1:] += v[:, :, 2].reshape(N_OCTAVES * 12, n)[:-1]  # the bin a third below each class
    folded = per_class[0].copy()
    for octave in per_class[1:]:
        folded += octave
    out: npt.NDArray[np.float64] = folded.astype(np.float64)
    return out


#: The first bin of the treble whose rise makes an onset: C4.
_ONSET_BIN = 72


@dataclass
class Carry:
    """What the next frames' features need of the frames before: the
    compressed magnitudes of the last frame's treble bins, and the levels
    of the last frames (for N's drop)."""

    last: npt.NDArray[np.float32] | None = None
    levels: npt.NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))


@dataclass(frozen=True)
class Frames:
    treble: npt.NDArray[np.float64]  # (12, n)
    bass: npt.NDArray[np.float64]  # (12, n)
    level: npt.NDArray[np.float64]  # dBFS of each frame's loudest bin
    onset: npt.NDArray[np.float64]
    recent: npt.NDArray[np.float64]  # the loudest level of the last drop_seconds


def features(magnitudes: npt.NDArray[np.float32], lay: Layout, m: Model, drop_frames: int,
             carry: Carry | None = None) -> Frames:
    """The model's view of the magnitudes (N_BINS, n), frame by frame; a
    stream passes its ``carry`` from call to call (updated here) and gets
    the values of the whole signal's frames."""
    x = np.multiply(magnitudes, lay.amplitude[:, None], dtype=np.float32)
    n = x.shape[1]
    loudest = x.max(axis=0) if n else np.zeros(0, np.float32)
    level = 20.0 * np.log10(np.maximum(loudest.astype(np.float64), 1e-10))
    x *= (np.float32(m.gamma) / np.maximum(loudest, np.float32(_TINY)))[None, :]
    np.log1p(x, out=x)
    carry = carry if carry is not None else Carry()
    onset = np.zeros(n)
    if n:
        before = x[_ONSET_BIN:, :-1] if carry.last is None else np.concatenate(
            [carry.last[:, None], x[_ONSET_BIN:, :-1]], axis=1)
        rise = np.maximum(x[_ONSET_BIN:, n - before.shape[1]:] - before, np.float32(0.0))
        onset[n - before.shape[1]:] = rise.mean(axis=0, dtype=np.float64)
        carry.last = x[_ONSET_BIN:, -1].copy()
    history = np.concatenate([carry.levels, level])
    padded = np.concatenate([np.full(drop_frames - len(carry.levels), -np.inf), history]) \
        if len(carry.levels) < drop_frames else history
    recent = np.lib.stride_tricks.sliding_window_view(padded, drop_frames + 1).max(axis=1) if n else np.zeros(0)
    carry.levels = history[-drop_frames:] if drop_frames else np.zeros(0)
    return Frames(_fold(x, lay.treble), _fold(x, lay.bass), level, onset, recent)


# Frames whose features are computed at once: their working arrays stay
# small enough to be reused rather than mapped afresh (and to stay in cache).
CHUNK_FRAMES = 1024


def features_in_chunks(magnitudes: npt.NDArray[np.float32], lay: Layout, m: Model, drop_frames: int) -> Frames:
    """:func:`features` of all the frames, a chunk at a time: the same values."""
    carry = Carry()
    parts = [features(magnitudes[:, at: at + CHUNK_FRAMES], lay, m, drop_frames, carry)
             for at in range(0, max(1, magnitudes.shape[1]), CHUNK_FRAMES)]
    if len(parts) == 1:
        return parts[0]
    return Frames(*(np.concatenate([getattr(p, name) for p in parts], axis=-1)
                    for name in ("treble", "bass", "level", "onset", "recent")))


def switch_cost(onset: npt.NDArray[np.float64], m: Model) -> npt.NDArray[np.float64]:
    """What a jump into each frame costs (see Model.switch)."""
    cost: npt.NDArray[np.float64] = m.switch * (m.onset_floor + (1.0 - m.onset_floor) * np.exp(-onset / m.onset_scale))
    return cost


def scores(treble: npt.NDArray[np.float64], frames: Frames | None, quiet: npt.NDArray[np.bool_] | None,
           m: Model, tables: _Tables) -> npt.NDArray[np.float64]:
    """Log-scores (n_states, n) of every state in every frame: the chords, then N.

    Without ``frames`` (chroma given) there is no bass term, and the frames
    in ``quiet`` are silence."""
    bass = None if frames is None else frames.bass
    level = None if frames is None else frames.level
    x = treble / np.maximum(np.sqrt(np.einsum("in,in->n", treble, treble)), _TINY)
    cosine = np.einsum("ki,in->kn", tables.treble, x)
    if m.suspension:  # a 4-3 suspension is its chord of resolution, major or minor
        held = np.einsum("ki,in->kn", tables.suspended, x)[tables.triad_roots] - m.suspension
        cosine[tables.triads] = np.maximum(cosine[tables.triads], held)
    if m.dominant:  # a dominant seventh is its major triad
        seventh = np.einsum("ki,in->kn", tables.dominant, x) - m.dominant
        cosine[tables.majors] = np.maximum(cosine[tables.majors], seventh)
    chord = m.treble * cosine + tables.bias[:, None]
    if m.seventh_weight and len(tables.sevenths):
        heard = x / np.maximum(x.max(axis=0), _TINY)
        if bass is not None:  # a root played low is heard in the bass alone
            heard = np.maximum(heard, bass / np.maximum(bass.max(axis=0), _TINY))
        on_tones = heard[tables.tones]  # (n_sevenths, 4, n)
        weakest = on_tones.min(axis=1)
        others = (on_tones.sum(axis=1) - weakest) / 3.0
        ratio = weakest / np.maximum(weakest + others, _TINY)
        chord[tables.sevenths] += m.seventh_weight * np.minimum(ratio - m.seventh_level, 0.0)
    no_chord = np.full(treble.shape[1], m.treble * m.no_chord)
    if m.flat_margin:  # x is unit length: its sum over sqrt(12) is its cosine with a flat chroma
        no_chord = np.maximum(no_chord, m.treble * (x.sum(axis=0) / math.sqrt(12.0) - m.flat_margin))
    if bass is not None:
        share = bass / np.maximum(bass.sum(axis=0), _TINY)
        chord += m.bass * np.log(m.bass_floor + np.einsum("ki,in->kn", tables.bass, share))
        no_chord += m.bass * math.log(m.bass_floor + m.no_chord_bass)
    if level is not None:
        silent = 1.0 / (1.0 + np.exp((level - m.silence_db) / m.silence_width))
    else:
        silent = np.zeros(treble.shape[1]) if quiet is None else quiet.astype(np.float64)
    no_chord += m.quiet_bonus * silent
    if frames is not None and m.drop_bonus:
        no_chord += m.drop_bonus * np.clip((frames.recent - frames.level - m.drop_db) / m.drop_width, 0.0, 1.0)
    out: npt.NDArray[np.float64] = np.vstack([chord, no_chord[None, :]]) * tables.scale
    if not np.isfinite(out).all():  # no chord is labelled from NaN or infinite scores
        raise ValueError("the chord scores are not finite (NaN or infinite values in the transform or chroma)")
    return out


def confidence(s: npt.NDArray[np.float64], path: npt.NDArray[np.intp]) -> npt.NDArray[np.float64]:
    """Each frame's share of its state in the softmax of its scores."""
    if s.shape[1] == 0:
        return np.zeros(0)
    shifted = s - s.max(axis=0)
    p = np.exp(shifted)
    share: npt.NDArray[np.float64] = p[path, np.arange(s.shape[1])] / p.sum(axis=0)
    return share

def check_rate(sr: float) -> None:
    """Refuse a rate whose Nyquist limit the transform reaches."""
    top = C2_HZ * 2.0 ** ((N_BINS - 1) / BINS_PER_OCTAVE)
    if top < sr / 2:
        return
    raise ValueError(f"estimate_chords needs sr above {2 * top:.0f} Hz (its transform reaches {top:.0f} Hz), "
                     f"got {sr:g}; resample first, e.g. vexolin.load(path, sr=22050)")


def drop_frames(m: Model, sr: float, hop_length: int) -> int:
    """Frames before a frame whose levels N's drop compares it with."""
    return max(1, int(round(m.drop_seconds * sr / hop_length)))


def _scale(sr: float, hop_length: int) -> float:
    return (hop_length / sr) / _REFERENCE_FRAME



class TransformOverflow(ValueError):
    """The transform is not finite: samples so large that float32 overflows."""


def frame_states(magnitudes: npt.NDArray[Any], sr: float, hop_length: int,
                 vocabulary: str) -> npt.NDArray[np.float32]:
    """One channel's chords from the magnitudes of the model's transform
    (6 octaves of 36 bins from C2, tuned), frame by frame, in the form batch
    stores: row 0 the index of each frame's state among the vocabulary's
    labels, row 1 its confidence."""
    from vexolin import _native

    scorer = Scorer.of(vocabulary, sr, hop_length)
    m = scorer.model
    if not np.isfinite(magnitudes).all():
        raise TransformOverflow("the transform is not finite: the samples overflow float32, and no chord is "
                                "labelled from infinite scores; scale the audio down")
    frames = features_in_chunks(magnitudes, scorer.layout, m, scorer.drop_frames)
    s = scores(frames.treble, frames, None, m, scorer.tables)
    path = _native.chord_path(s, switch_cost(frames.onset, m))
    return np.stack([path.astype(np.float32), confidence(s, path.astype(np.intp)).astype(np.float32)])


@dataclass(frozen=True)
class Scorer:
    """A vocabulary's model at one rate and hop: the scores and switch costs
    of runs of frames, for a stream that decodes them as they come."""

    model: Model
    layout: Layout
    tables: _Tables
    drop_frames: int

    @classmethod
    def of(cls, vocabulary: str, sr: float, hop_length: int) -> Scorer:
        m = model(vocabulary)
        return cls(m, layout(sr), _tables(m, _scale(sr, hop_length)), drop_frames(m, sr, hop_length))

    @property
    def n_states(self) -> int:
        return len(self.tables.bias) + 1

    def run(self, magnitudes: npt.NDArray[np.float32],
            carry: Carry) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The scores (n_states, n) and switch costs (n,) of the frames
        ``magnitudes`` (N_BINS, n) that follow those ``carry`` was passed
        (it is updated here)."""
        frames = features(magnitudes, self.layout, self.model, self.drop_frames, carry)
        return scores(frames.treble, frames, None, self.model, self.tables), switch_cost(frames.onset, self.model)


def chroma_states(chroma: npt.NDArray[np.float64], sr: float, hop_length: int,
                  vocabulary: str) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64]]:
    """The state and confidence of every frame of chroma (12, n) one has:
    no bass term, and frames far below the loudest, or flat, are silence."""
    from vexolin import _native

    m = model(vocabulary)
    c = chroma
    peak = c.max(axis=0) if c.shape[1] else np.zeros(0)
    # Scaled to each frame's largest first, so that huge values stay finite.
    x = np.log1p(m.gamma * (c / np.maximum(peak, _TINY)))
    # Chroma with norm=None keeps each frame's level: frames 60 dB below
    # the loudest are silence. Scaled chroma leaves only its zero frames.
    # A frame with every pitch class alike (flat, as noise) has no chord either.
    flat = c.min(axis=0, initial=np.inf) >= peak * (1.0 - 1e-6) if c.shape[1] else np.zeros(0, np.bool_)
    quiet = (peak <= max(1e-20, 1e-3 * float(peak.max(initial=0.0)))) | flat
    s = scores(x, None, quiet, m, _tables(m, _scale(sr, hop_length)))
    path: npt.NDArray[np.int32] = _native.chord_path(s, np.full(s.shape[1], m.switch))
    return path, confidence(s, path.astype(np.intp))
