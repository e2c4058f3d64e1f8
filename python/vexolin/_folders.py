"""Audio files below folders, found as every command finds them: the
command line's file commands and batch walk a folder the same way.
Suffixes libsndfile reads, hidden names passed over, folder links not
followed, a folder below that cannot be read skipped with a warning."""

from __future__ import annotations

import glob
import os
import re
import warnings
from collections.abc import Iterator

# Suffixes of the formats libsndfile reads; other files in a directory are
# not audio (cover art, playlists, notes) and are passed over.
AUDIO_SUFFIXES = frozenset({
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aif", ".aiff", ".aifc",
    ".au", ".snd", ".caf", ".w64", ".rf64", ".voc", ".sd2", ".mat", ".paf", ".sf", ".xi",
})

GLOB_CHARACTERS = frozenset("*?[")


class UnreadableFolderWarning(UserWarning):
    """A folder below an input could not be read, and its files were left out."""


def is_audio(name: str) -> bool:
    return os.path.splitext(name)[1].lower() in AUDIO_SUFFIXES


def audio_below(directory: str, skipped: dict[str, str]) -> list[str]:
    found: list[str] = []
    for root, dirs, files in walk(directory, skipped):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        found.extend(os.path.join(root, f) for f in files if is_audio(f) and not f.startswith("."))
    return found


def walk(top: str, skipped: dict[str, str]) -> Iterator[tuple[str, list[str], list[str]]]:
    """os.walk without following folder links (a link to a parent would loop).
    A folder below ``top`` that cannot be read (``lost+found`` at the root of
    every ext4 volume) is recorded in ``skipped`` with the reason and passed
    over; ``top`` itself unreadable is an error."""

    def unreadable(error: OSError) -> None:
        if os.path.normpath(str(error.filename)) == os.path.normpath(top):
            raise error
        skipped.setdefault(os.path.abspath(str(error.filename)), error.strerror or str(error))

    return os.walk(top, onerror=unreadable)


def files_matching(pattern: str, skipped: dict[str, str]) -> list[str]:
    """The files a glob pattern matches. Its wildcards go into real folders
    only, as a directory input does: glob would go through folder links,
    listing a file once per route to it, without end for a link to a parent
    under ``**``. Hidden names match only when the pattern spells out their
    dot, as with glob."""
    parts = pattern.split(os.sep)
    fixed = next(i for i, part in enumerate(parts) if GLOB_CHARACTERS & set(part))
    top = os.sep.join(parts[:fixed]) or (os.sep if pattern.startswith(os.sep) else os.curdir)
    if not os.path.isdir(top):
        return []
    rest = parts[fixed:]
    wanted = re.compile(glob.translate(os.sep.join(rest), recursive=True, include_hidden=False))
    deepest = None if "**" in rest else len(rest) - 1  # folders below top a match can be in
    spelled_hidden = any(part.startswith(".") for part in rest)
    found = []
    for root, dirs, files in walk(top, skipped):
        below = os.path.relpath(root, top)
        depth = 0 if below == os.curdir else below.count(os.sep) + 1
        if depth == deepest:
            dirs.clear()
        elif not spelled_hidden:
            dirs[:] = [d for d in dirs if not d.startswith(".")]
        for f in files:
            path = os.path.join(root, f)
            if wanted.match(f if depth == 0 else os.path.join(below, f)) and os.path.isfile(path):
                found.append(path)
    return found


def local_files(name: str, skipped: dict[str, str]) -> list[str]:
    """The files a local path names: a folder's audio files (searched
    recursively), the files a glob pattern matches, or the file itself,
    whatever its suffix. A folder without audio files, a pattern that
    matches none and a missing path raise an error naming it; folders below
    that cannot be read are added to ``skipped`` with the reason."""
    if os.path.isdir(name):
        found = audio_below(name, skipped)
        if not found:
            warn_unreadable(skipped, 4)  # the folder may be why
            raise ValueError(f"{name}: the directory holds no audio files "
                             f"(searched recursively for {', '.join(sorted(AUDIO_SUFFIXES))})")
        return found
    if os.path.exists(name):
        return [name]
    if GLOB_CHARACTERS & set(name):
        found = files_matching(name, skipped)
        if not found:
            warn_unreadable(skipped, 4)
            raise ValueError(f"{name}: the pattern matches no files")
        return found
    raise FileNotFoundError(f"{name}: no such file or directory")


def warn_unreadable(skipped: dict[str, str], stacklevel: int = 3) -> None:
    """One :class:`UnreadableFolderWarning` per folder in ``skipped``,
    attributed ``stacklevel`` frames up from this one's caller."""
    for folder, reason in skipped.items():
        warnings.warn(f"{folder}: skipped, the folder cannot be read ({reason})",
                      UnreadableFolderWarning, stacklevel=stacklevel + 1)
