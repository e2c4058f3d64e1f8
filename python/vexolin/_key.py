"""Keys from chroma: the correlation of the mean chroma with the 24 rotations
of a major and a minor key profile, and note names spelled for a key."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

# Key profiles, C major and C minor, weights of the pitch classes C .. B.
PROFILES: dict[str, tuple[tuple[float, ...], tuple[float, ...]]] = {
    # Krumhansl and Kessler's probe-tone ratings (1982).
    "krumhansl": ((6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88),
                  (6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17)),
    # Temperley's revision of them (1999).
    "temperley": ((5.0, 2.0, 3.5, 2.0, 4.5, 4.0, 2.0, 4.5, 2.0, 3.5, 1.5, 4.0),
                  (5.0, 2.0, 3.5, 4.5, 2.0, 4.0, 2.0, 4.5, 3.5, 2.0, 1.5, 4.0)),
}

SHARPS = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")
FLATS = ("C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B")

# Tonics by pitch class, as key signatures name them (F# major, Eb minor).
_MAJOR_TONICS = ("C", "Db", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B")
_MINOR_TONICS = ("C", "C#", "D", "Eb", "E", "F", "F#", "G", "G#", "A", "Bb", "B")
# Keys whose signatures have flats, by the pitch class of their tonic.
_FLAT_MAJORS = frozenset({1, 3, 5, 8, 10})
_FLAT_MINORS = frozenset({0, 2, 3, 5, 7, 10})
# Aggregated chroma whose values differ by no more than this, relative to
# the largest, fits every key alike (rounding aside): no key.
_FLAT = 1e-9
_TONIC_CLASSES = {name: pc for pc, name in enumerate(SHARPS)} | {name: pc for pc, name in enumerate(FLATS)}


@dataclass(frozen=True)
class Key:
    """A key and how well the chroma fits it, as :func:`estimate_key` finds it.

    Or no key (``tonic``, ``pitch_class`` and ``mode`` None), for chroma
    whose pitch classes are all equal, such as silence. Each argument below
    is kept as the attribute of its name; ``str()`` gives :attr:`name`.

    Parameters
    ----------
    tonic : str or None
        The tonic's name, as the key signature spells it ("F#", "Eb"); None: no key.
    pitch_class : int or None
        The tonic's pitch class, 0 for C to 11 for B; None: no key.
    mode : str or None
        "major" or "minor"; None: no key.
    strength : float
        This key's score, -1 to 1: the correlation of the chroma with its
        profile, with :func:`estimate_key`'s default ``method="cadence"``
        averaged with the cadential evidence for it.
    scores : tuple of float
        The scores of all 24 keys: C major .. B major, then C minor .. B minor.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(sr) / sr
    >>> y = sum(np.sin(2 * np.pi * f * t) for f in (261.63, 329.63, 392.0))  # C, E, G
    >>> key = vexolin.estimate_key(vexolin.chroma_cqt(y, sr=sr))
    >>> key.tonic, key.pitch_class, key.mode, len(key.scores)
    ('C', 0, 'major', 24)
    >>> bool(key.strength == max(key.scores))
    True
    >>> vexolin.estimate_key(np.ones((12, 5))).tonic is None  # all pitch classes equal: no key
    True
    """

    tonic: str | None
    pitch_class: int | None
    mode: str | None
    strength: float
    scores: tuple[float, ...]

    @property
    def name(self) -> str:
        """``"A minor"``, or ``"no key"``.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Key("A", 9, "minor", 0.8, ()).name, vexolin.Key(None, None, None, 0.0, ()).name
        ('A minor', 'no key')
        """
        return "no key" if self.tonic is None else f"{self.tonic} {self.mode}"

    def __str__(self) -> str:
        return self.name

    def notes(self) -> list[str]:
        """The 12 pitch classes from C spelled for this key.

        Returns
        -------
        list of str
            Flats in keys whose signatures have them, else sharps (sharps for no key).

        Examples
        --------
        >>> import vexolin
        >>> vexolin.Key("Eb", 3, "major", 0.0, ()).notes()[:4]
        ['C', 'Db', 'D', 'Eb']
        >>> vexolin.Key("E", 4, "major", 0.0, ()).notes()[:4]
        ['C', 'C#', 'D', 'D#']
        """
        flats = self.pitch_class in (_FLAT_MAJORS if self.mode == "major" else _FLAT_MINORS)
        return list(FLATS if flats else SHARPS)


def key_of(pitch_class: int, mode: str, strength: float = 0.0, scores: tuple[float, ...] = ()) -> Key:
    """The key with this tonic and mode."""
    tonic = (_MAJOR_TONICS if mode == "major" else _MINOR_TONICS)[pitch_class % 12]
    return Key(tonic, pitch_class % 12, mode, strength, scores)


def parse_key(key: object) -> Key:
    """A :class:`Key`, or a name like ``"Eb major"``, ``"f# minor"`` or ``"Am"``."""
    if isinstance(key, Key):
        return key
    if isinstance(key, str):
        text = key.strip()
        mode = "major"
        lowered = text.lower()
        for suffix, named in ((" major", "major"), (" minor", "minor"), ("maj", "major"), ("min", "minor"),
                              ("m", "minor")):
            if lowered.endswith(suffix):
                text, mode = text[: -len(suffix)].strip(), named
                break
        tonic = text[:1].upper() + text[1:].replace("♯", "#").replace("♭", "b")
        if tonic in _TONIC_CLASSES:
            return key_of(_TONIC_CLASSES[tonic], mode)
    raise ValueError(f"key must be a vexolin.Key or a name like 'Eb major' or 'F# minor', got {key!r}")


@overload
def estimate_key(chroma: npt.ArrayLike, *, profile: str = ..., aggregate: Callable[..., Any] = ...,
                 method: str = ..., segments: Literal[False] = ..., sr: float = ..., hop_length: int = ...,
                 modulation_cost: float = ...) -> Key: ...


@overload
def estimate_key(chroma: npt.ArrayLike, *, profile: str = ..., aggregate: Callable[..., Any] = ...,
                 method: str = ..., segments: Literal[True], sr: float = ..., hop_length: int = ...,
                 modulation_cost: float = ...) -> list[tuple[float, float, Key]]: ...


def estimate_key(
    chroma: npt.ArrayLike,
    *,
    profile: str = "krumhansl",
    aggregate: Callable[..., Any] = np.mean,
    method: str = "cadence",
    segments: bool = False,
    sr: float = 22050.0,
    hop_length: int = 512,
    modulation_cost: float = 1.0,
) -> Key | list[tuple[float, float, Key]]:
    """The key of the chroma: its profile correlation and, by default, its cadences.

    The frames are aggregated (their mean by default) and the 12 values
    correlated (Pearson) with each of the 12 rotations of the major and of
    the minor profile. With ``method="cadence"`` (the default) the chroma is
    also read as a sequence of major and minor triads, and each key gains
    for the motions from its dominant to its tonic (authentic cadences), the
    time its tonic triad and its own triads sound, a last chord that is its
    dominant (a half cadence) and a first chord that is its tonic triad:
    a piece that modulates or ends on a half cadence still names its home
    key. ``method="profile"`` is the correlation alone.

    Parameters
    ----------
    chroma : array_like, shape (12, n_frames) or (12,)
        Chroma, row 0 is C (as :func:`chroma_cqt` returns).
    profile : {"krumhansl", "temperley"}
        Krumhansl and Kessler's key profiles (the default) or Temperley's.
        On piano, whose strong 5th partials add the tonic's major third to
        the chroma, Krumhansl and Kessler's can take a minor key for its
        parallel major where Temperley's does not.
    aggregate : callable
        How frames are combined, called as ``aggregate(chroma, axis=-1)``.
    method : {"cadence", "profile"}
        Profile correlation and cadential evidence (the default), or the
        correlation alone.
    segments : bool
        False (the default): the key of the whole chroma. True: local keys
        over time, each with its span.
    sr : float
        The chroma's sample rate in Hz, with ``hop_length`` its frame rate:
        it sets the spans' times and the chord reading's time constants.
    hop_length : int
        Samples between frames.
    modulation_cost : float
        With ``segments=True``: how much a change of key must gain before
        it is taken, in seconds of better-fitting chroma. Larger: fewer,
        longer spans.

    Returns
    -------
    Key, or list of (float, float, Key)
        The key: tonic, pitch class, mode, strength (its score, the
        best) and the 24 scores (C major .. B major, then C minor .. B
        minor), -1 to 1: the profile correlation or, with
        ``method="cadence"``, its weighted mean with the cadential
        evidence (each kind 0 to 1).
        Chroma whose 12 aggregated values are all equal (silence, all
        zeros) fits no key better than another: the result is then no
        key, ``tonic``, ``pitch_class`` and ``mode`` None, named ``"no
        key"``, strength 0. With ``segments=True``: the local keys as
        ``(start, end, key)`` in seconds, in order, covering every frame
        (``end`` is the next span's ``start``), found by a Viterbi path
        over blocks of 0.5 s, each scored on the 4 s of chroma around it
        as a whole piece would be; a key's strength and scores are those
        of its span's chroma.

    Raises
    ------
    ValueError
        ``chroma`` has not 12 rows, no frames, or NaN or infinite values;
        ``profile`` or ``method`` is unknown; ``sr``, ``hop_length`` or
        ``modulation_cost`` is not positive.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(sr) / sr
    >>> chord = lambda *hz: sum(np.sin(2 * np.pi * f * t) for f in hz)
    >>> y = np.concatenate([chord(220.0, 261.63, 329.63), chord(293.66, 349.23, 440.0),
    ...                     chord(329.63, 415.30, 493.88), chord(220.0, 261.63, 329.63)])  # Am Dm E Am
    >>> chroma = vexolin.chroma_cqt(y, sr=sr, tuning=0.0)
    >>> key = vexolin.estimate_key(chroma)
    >>> key.name, key.pitch_class
    ('A minor', 9)
    >>> [(start, round(end, 1), key.name) for start, end, key in vexolin.estimate_key(chroma, segments=True, sr=sr)]
    [(0.0, 4.0, 'A minor')]
    """
    if profile not in PROFILES:
        raise ValueError(f"profile must be one of {', '.join(map(repr, PROFILES))}, got {profile!r}")
    if method not in ("cadence", "profile"):
        raise ValueError(f"method must be 'cadence' or 'profile', got {method!r}")
    for name, value in (("sr", sr), ("hop_length", hop_length), ("modulation_cost", modulation_cost)):
        if not (isinstance(value, (int, float, np.integer, np.floating)) and np.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a positive number, got {value!r}")
    c = np.asarray(chroma, dtype=np.float64)
    if c.ndim not in (1, 2) or c.shape[0] != 12:
        raise ValueError(f"chroma must have 12 rows (shape (12, n_frames) or (12,)), got shape {np.shape(chroma)}")
    if c.shape[-1] == 0:
        raise ValueError("chroma has no frames (shape (12, 0))")
    if not np.isfinite(c).all():
        raise ValueError("chroma holds NaN or infinite values")
    # Correlations do not depend on scale; scaled to 1 they stay finite for
    # any finite chroma, however large or small.
    peak = float(np.abs(c).max())
    c = c / peak if peak > 0.0 else c
    frames = c if c.ndim == 2 else c[:, None]
    frame_rate = float(sr) / float(hop_length)
    if segments:
        return _local_keys(frames, profile, aggregate, method, frame_rate, float(modulation_cost))
    return _global_key(frames, profile, aggregate, method, frame_rate)


def _global_key(frames: npt.NDArray[np.float64], profile: str, aggregate: Callable[..., Any], method: str,
                frame_rate: float) -> Key:
    mean = np.asarray(aggregate(frames, axis=-1), dtype=np.float64)
    if mean.shape != (12,) or not np.isfinite(mean).all():
        raise ValueError(f"aggregate must give 12 finite values, one per row, got {mean!r}")
    if not np.ptp(mean) > _FLAT:
        return Key(None, None, None, 0.0, (0.0,) * 24)
    scores = profile_scores(mean, profile)
    if method == "cadence":
        # A weighted mean, so that scores stay within -1 to 1 as correlations do.
        evidence = combine(cadence_evidence(chord_sequence(frames, frame_rate)))
        scores = (scores + evidence) / (1.0 + sum(CADENCE_WEIGHTS.values()))
    return _key_from_scores(scores)


def _key_from_scores(scores: npt.NDArray[np.float64]) -> Key:
    best = int(np.argmax(scores))
    return key_of(best % 12, "major" if best < 12 else "minor", float(scores[best]), tuple(map(float, scores)))


def profile_scores(mean: npt.NDArray[np.float64], profile: str) -> npt.NDArray[np.float64]:
    """The correlations of 12 values with the 24 keys' profiles."""
    scores = []
    for weights in PROFILES[profile]:
        p = np.asarray(weights)
        for tonic in range(12):
            scores.append(_correlation(mean, np.roll(p, tonic)))
    return np.array(scores)


# --- reading chords and cadences -------------------------------------------------

# Triads are read from chroma smoothed over this many seconds, and a change of
# triad must gain this much (in frames' worth of template fit) to be taken.
_CHORD_SMOOTHING = 0.25
_CHORD_CHANGE = 0.5
# Weights of the cadential evidence, each 0 to 1 for a key: authentic
# cadences (dominant -> tonic, by the arrivals' length), the share of time on
# the tonic triad, a dominant triad last (a half cadence), a tonic triad
# first, the share of time on the key's own triads. Chosen from {0, 0.2, 0.4,
# 0.8} each, the best on rendered tonal progressions (bench/key_renders.py's
# fitting set); a tonic triad last gained nothing there beside these.
CADENCE_WEIGHTS = {"authentic": 0.8, "tonic": 0.8, "half": 0.2, "first": 0.4, "diatonic": 0.2}
# The triads of each key's scale (major; minor with the harmonic minor's V), as roots above the tonic.
_DIATONIC = ({0, 5, 7, 12 + 2, 12 + 4, 12 + 9}, {12 + 0, 12 + 5, 7, 3, 8, 10})


def _triad_templates() -> npt.NDArray[np.float64]:
    rows = []
    for third in (4, 3):
        for root in range(12):
            t = np.zeros(12)
            t[[root, (root + third) % 12, (root + 7) % 12]] = 1.0
            rows.append(t / np.linalg.norm(t))
    return np.array(rows)


_TRIADS = _triad_templates()


def chord_sequence(frames: npt.NDArray[np.float64], frame_rate: float) -> list[tuple[int, float]]:
    """Major and minor triads (0-11 major on C..B, 12-23 minor) with their
    durations in frames, in order; silent stretches are left out."""
    n = frames.shape[1]
    width = max(1, int(round(_CHORD_SMOOTHING * frame_rate)))
    kernel = np.ones(width) / width
    smooth = np.array([np.convolve(row, kernel, mode="same") for row in frames]) if width > 1 else frames
    norms = np.linalg.norm(smooth, axis=0)
    sounding = norms > 1e-3 * max(float(norms.max()), 1e-300)
    fit = _TRIADS @ (smooth / np.where(norms > 0, norms, 1.0))
    # Viterbi over the 24 triads, any change costing the same.
    change = _CHORD_CHANGE * width
    total = np.zeros(24)
    back = np.zeros((n, 24), dtype=np.int64)
    for i in range(n):
        stay, best = total, int(np.argmax(total))
        moved = total[best] - change
        back[i] = np.where(stay >= moved, np.arange(24), best)
        total = np.maximum(stay, moved) + (fit[:, i] if sounding[i] else 0.0)
    path = np.empty(n, dtype=np.int64)
    path[-1] = int(np.argmax(total))
    for i in range(n - 1, 0, -1):
        path[i - 1] = back[i, path[i]]
    out: list[tuple[int, float]] = []
    for i in range(n):
        if not sounding[i]:
            continue
        if out and out[-1][0] == path[i]:
            out[-1] = (out[-1][0], out[-1][1] + 1.0)
        else:
            out.append((int(path[i]), 1.0))
    return out


def cadence_evidence(chords: list[tuple[int, float]]) -> dict[str, npt.NDArray[np.float64]]:
    """For each of the 24 keys, each kind of cadential evidence, 0 to 1."""
    evidence = {name: np.zeros(24) for name in CADENCE_WEIGHTS}
    if not chords:
        return evidence
    # A key's tonic triad is the triad of its own index; its dominant is the major triad a fifth above.
    total = sum(d for _, d in chords)
    for chord, duration in chords:
        evidence["tonic"][chord] += duration / total
    for key in range(24):
        tonic, triads = key % 12, _DIATONIC[key // 12]
        evidence["diatonic"][key] = sum(d for c, d in chords
                                        if (c // 12) * 12 + (c - tonic) % 12 in triads) / total
    motions = 0.0
    for (a, _), (b, arrival) in zip(chords, chords[1:]):
        if a < 12 and b % 12 == (a - 7) % 12:  # a major triad falling a fifth, counted by the arrival's length
            evidence["authentic"][b] += arrival
            motions += arrival
    if motions:
        evidence["authentic"] /= motions
    evidence["first"][chords[0][0]] = 1.0
    last = chords[-1][0]
    if last < 12:
        evidence["half"][(last - 7) % 12] = evidence["half"][12 + (last - 7) % 12] = 1.0
    return evidence


def combine(evidence: dict[str, npt.NDArray[np.float64]],
            weights: dict[str, float] | None = None) -> npt.NDArray[np.float64]:
    """The weighted sum of the evidence for the 24 keys."""
    weights = CADENCE_WEIGHTS if weights is None else weights
    total = np.zeros(24)
    for name, weight in weights.items():
        total += weight * evidence[name]
    return total


# Local keys are read from blocks of this many seconds, each heard through
# the mean chroma of this many seconds around it.
_KEY_BLOCK = 0.5
_KEY_CONTEXT = 4.0


def _local_keys(frames: npt.NDArray[np.float64], profile: str, aggregate: Callable[..., Any], method: str,
                frame_rate: float, modulation_cost: float) -> list[tuple[float, float, Key]]:
    n = frames.shape[1]
    block = max(1, int(round(_KEY_BLOCK * frame_rate)))
    starts = np.arange(0, n, block)
    half = max(1, int(round(_KEY_CONTEXT * frame_rate / 2)))
    # Each block's fit to the 24 keys, in seconds of chroma: the scores of
    # the chroma around it (as for a whole piece) times the block's length.
    fit = np.zeros((len(starts), 24))
    for i, start in enumerate(starts):
        around = _global_key(frames[:, max(0, start - half): min(n, start + block + half)], profile, aggregate,
                             method, frame_rate)
        fit[i] = np.asarray(around.scores) * (min(n, start + block) - start) / frame_rate
    # Viterbi over the 24 keys, a change of key costing modulation_cost.
    total = np.zeros(24)
    back = np.zeros((len(starts), 24), dtype=np.int64)
    for i in range(len(starts)):
        best = int(np.argmax(total))
        moved = total[best] - modulation_cost
        back[i] = np.where(total >= moved, np.arange(24), best)
        total = np.maximum(total, moved) + fit[i]
    path = np.empty(len(starts), dtype=np.int64)
    path[-1] = int(np.argmax(total))
    for i in range(len(starts) - 1, 0, -1):
        path[i - 1] = back[i, path[i]]
    spans: list[tuple[float, float, Key]] = []
    edges = [0] + [int(starts[i]) for i in range(1, len(starts)) if path[i] != path[i - 1]] + [n]
    for a, b in zip(edges, edges[1:]):
        # The path's key, scored on the span's own chroma; no key where it is all alike.
        key = _global_key(frames[:, a:b], profile, aggregate, method, frame_rate)
        if key.pitch_class is not None:
            chosen = int(path[a // block])
            key = key_of(chosen % 12, "major" if chosen < 12 else "minor", key.scores[chosen], key.scores)
        spans.append((a / frame_rate, b / frame_rate, key))
    return spans


def _correlation(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> float:
    dx, dy = x - x.mean(), y - y.mean()
    denominator = float(np.sqrt((dx * dx).sum() * (dy * dy).sum()))
    return float((dx * dy).sum()) / denominator if denominator > 0.0 else 0.0
