"""Fast constant-Q transform (CQT) and CQT chroma features.

A friendly face over the native module ``_vexolin``: keyword arguments with
defaults, any number of channels (time is the last axis), audio files, a
command line (``vexolin``) and plots (``vexolin.plot``, needs matplotlib).

Examples
--------
>>> import numpy as np
>>> import vexolin
>>> y = np.random.default_rng(0).standard_normal((2, 22050)).astype(np.float32)  # stereo
>>> vexolin.chroma_cqt(y, sr=22050).shape
(2, 12, 44)
"""

__path__ = __import__("pkgutil").extend_path(__path__, __name__)  # finds _native in a build tree

from vexolin._convert import (
    amplitude_to_db,
    bin_notes,
    chroma_notes,
    cqt_frequencies,
    frames_to_time,
    hz_to_note,
    times_like,
)
from vexolin._core import C1_HZ, chroma_cqt, cqt, cqt_magnitude
from vexolin._io import AudioFileError, AudioInfo, info, load

__version__ = "0.1.0"

__all__ = [
    "C1_HZ",
    "AudioFileError",
    "AudioInfo",
    "__version__",
    "amplitude_to_db",
    "bin_notes",
    "chroma_cqt",
    "chroma_notes",
    "cqt",
    "cqt_frequencies",
    "cqt_magnitude",
    "frames_to_time",
    "hz_to_note",
    "info",
    "load",
    "times_like",
]
