"""Pictures of chromagrams and CQT spectrograms (needs matplotlib: install
``vexolin[plot]``).

Time runs along x (seconds, or minutes:seconds and hours:minutes:seconds
for long recordings), note names label y, and a colour bar shows the scale.
Frames beyond what the axes can show are averaged in groups, so a long
recording is drawn at the figure's resolution instead of aliasing.
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from vexolin._chroma import QUIET, check_threshold, for_view, scaled_per_frame
from vexolin._convert import amplitude_to_db, bin_notes, chroma_notes
from vexolin._checks import positive_float, sr_required, whole_number
from vexolin._key import Key, parse_key
from vexolin._docs import fill

if TYPE_CHECKING:
    from matplotlib.axes import Axes


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("vexolin.plot needs matplotlib: pip install 'vexolin[plot]'") from None
    return plt.gca()


def _matrix(name: str, X: npt.ArrayLike) -> npt.NDArray[np.floating]:
    a = np.asarray(X)
    if a.ndim != 2:
        raise ValueError(f"{name} must be 2-D (rows, frames), got shape {a.shape}; "
                         f"plot one channel at a time, e.g. {name}[0]")
    magnitude: npt.NDArray[np.floating] = np.abs(a) if np.iscomplexobj(a) else a.astype(np.float64, copy=False)
    return magnitude


def _on_semitone(name: str) -> bool:
    return "+" not in name and "-" not in name  # no offset in cents


# Tick spacings in seconds, from which the one giving at most _MAX_TICKS is taken.
_TICK_STEPS = (0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600)
_MAX_TICKS = 10


def _clock(seconds: float, hours: bool) -> str:
    whole = int(round(seconds))
    if hours:
        return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"
    return f"{whole // 60}:{whole % 60:02d}"


def _time_axis(ax: Axes, duration: float) -> None:
    """Ticks at a round spacing; minutes:seconds past a minute, hours:minutes:seconds past an hour."""
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    step = next((s for s in _TICK_STEPS if duration / s <= _MAX_TICKS), _TICK_STEPS[-1])
    ax.xaxis.set_major_locator(MultipleLocator(step))
    if duration < 60:
        ax.set_xlabel("Time (s)")
        return
    hours = duration >= 3600
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: _clock(x, hours) if x >= 0 else ""))
    ax.set_xlabel("Time (h:mm:ss)" if hours else "Time (m:ss)")


def _columns(ax: Axes) -> int:
    """About how many pixels wide the axes are."""
    try:
        return max(1, int(ax.get_window_extent().width))
    except (AttributeError, RuntimeError, ValueError):  # no renderer yet
        return 1000


def _fit(image: npt.NDArray[np.floating], columns: int) -> npt.NDArray[np.floating]:
    """Frames averaged in groups so that about ``columns`` remain; the last group may be shorter."""
    group = image.shape[1] // columns
    if group < 2:
        return image
    n = image.shape[1]
    whole = n // group * group
    parts = [image[:, :whole].reshape(image.shape[0], -1, group).mean(axis=2)]
    if whole < n:
        parts.append(image[:, whole:].mean(axis=1, keepdims=True))
    return np.concatenate(parts, axis=1)


def _draw(ax: Axes, image: npt.NDArray[np.floating], sr: float, hop_length: int,
          label: str) -> None:
    # Each frame is centred on a multiple of the hop; each row on its index.
    step = whole_number("hop_length", hop_length) / positive_float("sr", sr)
    n_rows, n_frames = image.shape
    extent = (-step / 2, (n_frames - 0.5) * step, -0.5, n_rows - 0.5)
    shown = ax.imshow(_fit(image, _columns(ax)), origin="lower", aspect="auto", interpolation="nearest",
                      extent=extent, cmap="magma")
    _time_axis(ax, n_frames * step)
    ax.figure.colorbar(shown, ax=ax, label=label)


@sr_required
@fill
def chromagram(C: npt.ArrayLike, *, sr: float, hop_length: int = 512, key: Key | str | None = None,
               threshold: float = QUIET, ax: Axes | None = None) -> Axes:
    """Draw a chromagram, pitch classes from C at the bottom.

    The rule of every chroma view of the package (the command line's text
    picture and ``--plot`` too): values below ``threshold`` times the
    largest value of ``C`` are drawn as 0, then each frame is drawn scaled
    to its largest value, so fades and silence, far below the loudest
    frames, are dark instead of full-scale noise. That needs the sums of
    each frame before any norm: pass ``chroma_cqt(..., norm=None)``. Chroma
    already scaled per frame (the default ``norm=np.inf``, or 1 or 2) no
    longer tells quiet frames from loud ones; it is drawn as it is, with a
    warning (unless ``threshold=0``, which draws any chroma as it is).

    Parameters
    ----------
    C : array_like, shape (n_chroma, n_frames)
        Chroma sums, from :func:`vexolin.chroma_cqt` with ``norm=None``.
    %(sr_of_frames)s
    %(hop_of_frames)s
    key : vexolin.Key, str or None
        Spell the 12 pitch classes for this key (``"Eb major"``, or what
        :func:`vexolin.estimate_key` returned): flats in keys whose
        signatures have them. None names them with sharps.
    threshold : float
        Fraction of the largest value below which values are drawn as 0.
    ax : matplotlib Axes or None
        Where to draw; None draws into the current axes.

    Returns
    -------
    matplotlib Axes
        The axes drawn into, time in seconds across, pitch classes up.

    Examples
    --------
    >>> import numpy as np
    >>> from matplotlib.figure import Figure
    >>> import vexolin, vexolin.plot
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)
    >>> ax = vexolin.plot.chromagram(vexolin.chroma_cqt(y, sr=22050, norm=None), sr=22050, hop_length=512,
    ...                              key="Bb major", ax=Figure().add_subplot())
    >>> [t.get_text() for t in ax.get_yticklabels()][9:]
    ['A', 'Bb', 'B']
    """
    values = _matrix("C", C).astype(np.float32)
    quiet = check_threshold("threshold", threshold)
    if quiet > 0.0 and scaled_per_frame(values):
        warnings.warn("C is scaled per frame, so its quiet passages cannot be drawn dark: they show at full "
                      "scale. Pass the sums, vexolin.chroma_cqt(..., norm=None)", UserWarning,
                      skip_file_prefixes=(os.path.dirname(__file__),))  # the caller's line
    image = for_view(values, quiet)
    spelled = None if key is None else parse_key(key)
    if spelled is not None and image.shape[0] != 12:
        raise ValueError(f"key= spells 12 pitch classes, but C has {image.shape[0]} rows")
    axes = _axes(ax)
    _draw(axes, image, sr, hop_length, "Chroma")
    names = chroma_notes(image.shape[0]) if spelled is None else spelled.notes()
    # With more than 12 rows only the semitones are named.
    rows = [r for r, name in enumerate(names) if len(names) <= 12 or _on_semitone(name)]
    axes.set_yticks(rows, [names[r] for r in rows])
    axes.set_ylabel("Pitch class")
    return axes


@sr_required
@fill
def cqt(M: npt.ArrayLike, *, sr: float, hop_length: int = 512, fmin: float | None = None,
        bins_per_octave: int = 12, db: bool = True, ax: Axes | None = None) -> Axes:
    """Draw a CQT spectrogram, lowest bin at the bottom, octaves labelled by their C.

    Parameters
    ----------
    M : array_like, shape (n_bins, n_frames)
        CQT magnitudes or complex coefficients (their magnitudes are shown).
    %(sr_of_frames)s
    %(hop_of_frames)s
    %(fmin)s
    %(bins_per_octave)s
    db : bool
        Show decibels relative to the peak (80 dB range) instead of magnitudes.
    ax : matplotlib Axes or None
        Where to draw; None draws into the current axes.

    Returns
    -------
    matplotlib Axes
        The axes drawn into, time in seconds across, bins up.

    Examples
    --------
    >>> import numpy as np
    >>> from matplotlib.figure import Figure
    >>> import vexolin, vexolin.plot
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)
    >>> ax = vexolin.plot.cqt(vexolin.cqt(y, sr=22050), sr=22050, ax=Figure().add_subplot())
    >>> [t.get_text() for t in ax.get_yticklabels()]
    ['C1', 'C2', 'C3', 'C4', 'C5', 'C6', 'C7']
    """
    image = _matrix("M", M)
    if db:
        image = amplitude_to_db(image, ref=np.max)
    axes = _axes(ax)
    _draw(axes, image, sr, hop_length, "dB" if db else "Magnitude")
    names = bin_notes(image.shape[0], fmin=fmin, bins_per_octave=bins_per_octave)
    rows = [k for k, name in enumerate(names) if name[0] == "C" and name[1:].isdigit()]
    if len(rows) < 2:  # less than an octave, or no C among the bins
        rows = [k for k, name in enumerate(names) if _on_semitone(name)]
    axes.set_yticks(rows, [names[k] for k in rows])
    axes.set_ylabel("Note")
    return axes
