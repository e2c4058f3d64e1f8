"""Pictures of chromagrams and CQT spectrograms (needs matplotlib: install
``vexolin[plot]``).

Time in seconds runs along x, note names label y, and a colour bar shows
the scale.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from vexolin._convert import amplitude_to_db, bin_notes, chroma_notes
from vexolin._checks import positive_float, whole_number

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


def _draw(ax: Axes, image: npt.NDArray[np.floating], sr: float, hop_length: int,
          label: str) -> None:
    # Each frame is centred on a multiple of the hop; each row on its index.
    step = whole_number("hop_length", hop_length) / positive_float("sr", sr)
    n_rows, n_frames = image.shape
    extent = (-step / 2, (n_frames - 0.5) * step, -0.5, n_rows - 0.5)
    shown = ax.imshow(image, origin="lower", aspect="auto", interpolation="nearest",
                      extent=extent, cmap="magma")
    ax.set_xlabel("Time (s)")
    ax.figure.colorbar(shown, ax=ax, label=label)


def chromagram(C: npt.ArrayLike, *, sr: float = 22050, hop_length: int = 512,
               ax: Axes | None = None) -> Axes:
    """Draw a chromagram, pitch classes from C at the bottom.

    Parameters
    ----------
    C : array_like, shape (n_chroma, n_frames)
        Chroma features, e.g. from :func:`vexolin.chroma_cqt`.
    sr, hop_length
        The sample rate and hop the features were computed with.
    ax : matplotlib Axes or None
        Where to draw; None draws into the current axes.

    Returns
    -------
    matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> from matplotlib.figure import Figure
    >>> import vexolin, vexolin.plot
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)
    >>> ax = vexolin.plot.chromagram(vexolin.chroma_cqt(y, sr=22050), sr=22050, hop_length=512,
    ...                              ax=Figure().add_subplot())
    >>> [t.get_text() for t in ax.get_yticklabels()][9]
    'A'
    """
    image = _matrix("C", C)
    axes = _axes(ax)
    _draw(axes, image, sr, hop_length, "Chroma")
    names = chroma_notes(image.shape[0])
    # With more than 12 rows only the semitones are named.
    rows = [r for r, name in enumerate(names) if len(names) <= 12 or _on_semitone(name)]
    axes.set_yticks(rows, [names[r] for r in rows])
    axes.set_ylabel("Pitch class")
    return axes


def cqt(M: npt.ArrayLike, *, sr: float = 22050, hop_length: int = 512, fmin: float | None = None,
        bins_per_octave: int = 12, db: bool = True, ax: Axes | None = None) -> Axes:
    """Draw a CQT spectrogram, lowest bin at the bottom, octaves labelled by their C.

    Parameters
    ----------
    M : array_like, shape (n_bins, n_frames)
        CQT magnitudes or complex coefficients (their magnitudes are shown).
    sr, hop_length, fmin, bins_per_octave
        The parameters the transform was computed with.
    db : bool
        Show decibels relative to the peak (80 dB range) instead of magnitudes.
    ax : matplotlib Axes or None
        Where to draw; None draws into the current axes.

    Returns
    -------
    matplotlib Axes

    Examples
    --------
    >>> import numpy as np
    >>> from matplotlib.figure import Figure
    >>> import vexolin, vexolin.plot
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)
    >>> ax = vexolin.plot.cqt(vexolin.cqt(y, sr=22050), ax=Figure().add_subplot())
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
