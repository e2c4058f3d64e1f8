"""A short piece made on the spot, so that examples run without a file."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

_SR = 22050
_SECONDS_PER_CHORD = 2.0
# C, G, A minor, F as MIDI notes, voiced over their roots an octave or two below middle C.
_PROGRESSION = ((48, 52, 55, 60, 64), (43, 50, 55, 59, 62), (45, 52, 57, 60, 64), (41, 48, 53, 57, 60))
_PIECES = ("progression",)


def _progression() -> npt.NDArray[np.float32]:
    t = np.arange(int(_SR * _SECONDS_PER_CHORD)) / _SR
    envelope = np.minimum(1.0, 50.0 * t) * np.exp(-0.5 * t)  # 20 ms attack, then a slow decay
    bars = []
    for chord in _PROGRESSION:
        tones = np.zeros_like(t)
        for note in chord:
            hz = 440.0 * 2.0 ** ((note - 69) / 12.0)
            # Five partials at falling amplitudes: harmonic tones, as instruments give.
            for k in range(1, 6):
                tones += np.sin(2 * np.pi * k * hz * t) / k
        bars.append(tones * envelope)
    # Peaks at about 0.28 (-11 dBFS): mixed with more, or written to 16 bits, it does not clip.
    y: npt.NDArray[np.float32] = (0.04 * np.concatenate(bars)).astype(np.float32)
    return y


def example_audio(name: str = "progression") -> tuple[npt.NDArray[np.float32], int]:
    """A short piece of music synthesised on the spot, for trying things out.

    ``"progression"``: eight seconds of C major, G major, A minor and F major
    chords, two seconds each, every note a tone with five harmonics that
    sets in and slowly decays. The same samples on every call;
    nothing is read or downloaded.

    Parameters
    ----------
    name : str
        Which piece: ``"progression"`` (the only one so far).

    Returns
    -------
    y : ndarray of float32, shape (n_samples,)
        The samples, mono, peaks below 1.
    sr : int
        The sample rate of ``y``, 22050 Hz.

    Raises
    ------
    ValueError
        ``name`` is not one of the pieces.

    Examples
    --------
    >>> import vexolin
    >>> y, sr = vexolin.example_audio()
    >>> y.shape, y.dtype, sr
    ((176400,), dtype('float32'), 22050)
    >>> chroma = vexolin.chroma_cqt(y, sr=sr)
    >>> vexolin.estimate_key(chroma).name
    'C major'
    """
    if name not in _PIECES:
        raise ValueError(f"name must be one of {', '.join(map(repr, _PIECES))}, got {name!r}")
    return _progression(), _SR
