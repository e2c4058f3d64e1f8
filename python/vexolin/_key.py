"""Keys from chroma: the correlation of the mean chroma with the 24 rotations
of a major and a minor key profile, and note names spelled for a key."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

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
        The correlation of the chroma with this key's profile, -1 to 1.
    scores : tuple of float
        The correlations with all 24 keys: C major .. B major, then C minor .. B minor.

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


def estimate_key(
    chroma: npt.ArrayLike,
    *,
    profile: str = "krumhansl",
    aggregate: Callable[..., Any] = np.mean,
) -> Key:
    """The key whose profile correlates best with the chroma.

    The frames are aggregated (their mean by default) and the 12 values
    correlated (Pearson) with each of the 12 rotations of the major and of
    the minor profile.

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

    Returns
    -------
    Key
        Tonic, pitch class, mode, strength (the best correlation) and the
        24 scores (C major .. B major, then C minor .. B minor). Chroma
        whose 12 aggregated values are all equal (silence, all zeros) fits
        no key better than another: the result is then no key, ``tonic``,
        ``pitch_class`` and ``mode`` None, named ``"no key"``, strength 0.

    Raises
    ------
    ValueError
        ``chroma`` has not 12 rows, no frames, or NaN or infinite values;
        ``profile`` is unknown.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> t = np.arange(sr) / sr
    >>> chord = lambda *hz: sum(np.sin(2 * np.pi * f * t) for f in hz)
    >>> y = np.concatenate([chord(220.0, 261.63, 329.63), chord(293.66, 349.23, 440.0),
    ...                     chord(329.63, 415.30, 493.88), chord(220.0, 261.63, 329.63)])  # Am Dm E Am
    >>> key = vexolin.estimate_key(vexolin.chroma_cqt(y, sr=sr, tuning=0.0))
    >>> key.name, key.pitch_class
    ('A minor', 9)
    """
    if profile not in PROFILES:
        raise ValueError(f"profile must be one of {', '.join(map(repr, PROFILES))}, got {profile!r}")
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
    if c.ndim == 2:
        c = np.asarray(aggregate(c, axis=-1), dtype=np.float64)
        if c.shape != (12,) or not np.isfinite(c).all():
            raise ValueError(f"aggregate must give 12 finite values, one per row, got {c!r}")
    if not np.ptp(c) > _FLAT:
        return Key(None, None, None, 0.0, (0.0,) * 24)
    scores = []
    for weights in PROFILES[profile]:
        p = np.asarray(weights)
        for tonic in range(12):
            scores.append(_correlation(c, np.roll(p, tonic)))
    best = int(np.argmax(scores))
    return key_of(best % 12, "major" if best < 12 else "minor", scores[best], tuple(scores))


def _correlation(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> float:
    dx, dy = x - x.mean(), y - y.mean()
    denominator = float(np.sqrt((dx * dx).sum() * (dy * dy).sum()))
    return float((dx * dy).sum()) / denominator if denominator > 0.0 else 0.0
