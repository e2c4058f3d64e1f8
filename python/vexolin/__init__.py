"""Fast constant-Q transform (CQT) and CQT chroma features.

A friendly face over the native transforms of ``_vexolin``: keyword
arguments with defaults, any number of channels (time is the last axis) within
one thread budget, audio files, a command line (``vexolin``) and plots
(``vexolin.plot``, needs matplotlib).

Examples
--------
>>> import numpy as np
>>> import vexolin
>>> y = np.random.default_rng(0).standard_normal((2, 22050)).astype(np.float32)  # stereo
>>> vexolin.chroma_cqt(y, sr=22050).shape
(2, 12, 44)
"""

__path__ = __import__("pkgutil").extend_path(__path__, __name__)  # finds _native in a build tree

from typing import TYPE_CHECKING, Any

from vexolin._convert import (
    amplitude_to_db,
    bin_notes,
    chroma_notes,
    cqt_frequencies,
    frames_to_time,
    hz_to_note,
    times_like,
)
from vexolin._checks import C1_HZ, SlowHopWarning
from vexolin._chords import Chords, ChordStream, estimate_chords
from vexolin._example import example_audio
from vexolin._io import AudioFileError, AudioInfo, info, load
from vexolin._key import Key, estimate_key
from vexolin._sync import sync
from vexolin._tuning import estimate_tuning

if TYPE_CHECKING:
    from vexolin._core import chroma_cens, chroma_cqt, cqt, cqt_magnitude
    from vexolin._hcqt import hcqt, hcqt_magnitude
    from vexolin._vqt import vqt, vqt_magnitude
    from vexolin._stream import Stream, stream_file
    from vexolin._match import Match, match

__version__ = "0.1.0"

__all__ = [
    "C1_HZ",
    "AudioFileError",
    "AudioInfo",
    "ChordStream",
    "Chords",
    "Key",
    "Match",
    "SlowHopWarning",
    "Stream",
    "__version__",
    "amplitude_to_db",
    "bin_notes",
    "chroma_cens",
    "chroma_cqt",
    "chroma_notes",
    "cqt",
    "cqt_frequencies",
    "cqt_magnitude",
    "estimate_chords",
    "estimate_key",
    "estimate_tuning",
    "example_audio",
    "frames_to_time",
    "hcqt",
    "hcqt_magnitude",
    "hz_to_note",
    "info",
    "load",
    "match",
    "stream_file",
    "sync",
    "times_like",
    "vqt",
    "vqt_magnitude",
]

# The transforms load the native module, so they are imported on first use:
# reading files and the command line's parsing do without it.
_TRANSFORMS = frozenset({"chroma_cens", "chroma_cqt", "cqt", "cqt_magnitude"})
# Matching reads stores, whose layer (batch) sits above this package's face.
_VARIANTS = {"vqt": "_vqt", "vqt_magnitude": "_vqt", "hcqt": "_hcqt", "hcqt_magnitude": "_hcqt",
             "match": "_match", "Match": "_match"}
_STREAMS = frozenset({"Stream", "stream_file"})


def __getattr__(name: str) -> Any:
    if name in _TRANSFORMS:
        from vexolin import _core

        return getattr(_core, name)
    if name in _VARIANTS:
        import importlib

        return getattr(importlib.import_module(f"vexolin.{_VARIANTS[name]}"), name)
    if name in _STREAMS:
        from vexolin import _stream

        return getattr(_stream, name)
    raise AttributeError(f"module 'vexolin' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _TRANSFORMS | set(_VARIANTS) | _STREAMS)
