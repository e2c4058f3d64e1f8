"""Which files a batch run covers: paths, directories searched recursively,
and glob patterns, each checked before any work."""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable

# Suffixes of the formats libsndfile reads; other files in a directory are
# not audio (cover art, playlists, notes) and are passed over.
AUDIO_SUFFIXES = frozenset({
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aif", ".aiff", ".aifc",
    ".au", ".snd", ".caf", ".w64", ".rf64", ".voc", ".sd2", ".mat", ".paf", ".sf", ".xi",
})

_GLOB_CHARACTERS = frozenset("*?[")


def _is_audio(name: str) -> bool:
    return os.path.splitext(name)[1].lower() in AUDIO_SUFFIXES


def _audio_below(directory: str) -> list[str]:
    found: list[str] = []
    for root, dirs, files in os.walk(directory, onerror=_raise):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        found.extend(os.path.join(root, f) for f in files if _is_audio(f) and not f.startswith("."))
    return found


def _raise(error: OSError) -> None:
    raise error


def find_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """Absolute paths of the files ``inputs`` names, without repeats, in the
    order given (files found in a directory or by a pattern sorted).

    A path that does not exist, a directory without audio files and a pattern
    that matches nothing raise an error naming it; a file named directly is
    taken whatever its suffix (a bad one fails on its own during the run).
    """
    items = [inputs] if isinstance(inputs, (str, os.PathLike)) else list(inputs)
    if not items:
        raise ValueError("inputs is empty: give audio files, directories or glob patterns")
    paths: dict[str, None] = {}
    for item in items:
        name = os.fspath(item)
        if not isinstance(name, str):
            raise TypeError(f"inputs must be paths given as str or os.PathLike, got {item!r}")
        if os.path.isdir(name):
            found = _audio_below(name)
            if not found:
                raise ValueError(f"{name}: the directory holds no audio files "
                                 f"(searched recursively for {', '.join(sorted(AUDIO_SUFFIXES))})")
        elif os.path.exists(name):
            found = [name]
        elif _GLOB_CHARACTERS & set(name):
            found = [p for p in glob.glob(name, recursive=True) if os.path.isfile(p)]
            if not found:
                raise ValueError(f"{name}: the pattern matches no files")
        else:
            raise FileNotFoundError(f"{name}: no such file or directory")
        for path in sorted(found) if len(found) > 1 else found:
            paths.setdefault(os.path.abspath(path), None)
    return list(paths)
