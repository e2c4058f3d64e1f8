"""What a store's metadata must be before it is believed. A store is files
anyone can edit, copy or craft: an entry whose attributes have the wrong
types is not an entry, and one whose shape, chunks and records disagree is
damaged and refused before anything is allocated for it."""

from __future__ import annotations

import hashlib
import json
import math
import os
from collections.abc import Callable, Collection
from dataclasses import dataclass, field
from typing import Any

# An entry's attributes and the types each may take (those that may be
# None may be absent too).
_NUMBER = (int, float)
_ATTR_TYPES: dict[str, tuple[type, ...]] = {
    "size": (int,), "mtime_ns": (int, type(None)), "frames": (int,), "sr": (*_NUMBER, type(None)),
    "duration": (*_NUMBER, type(None)), "compute_seconds": (*_NUMBER, type(None)),
    "channels": (int, type(None)),
}
# Attributes an entry may lack.
_OPTIONAL_TYPES: dict[str, tuple[type, ...]] = {
    "n_samples": (int, type(None)), "params": (dict,), "vexolin": (str,), "tuning": (*_NUMBER, type(None)),
    "chunk_bytes": (dict,), "axes": (list,),
}


class DamagedEntry(ValueError):
    """An entry whose files or metadata do not hold together; says what is off."""


def load_json(data: bytes | str) -> Any:
    """A JSON document; ValueError for anything that is not one, nesting too
    deep for the parser included."""
    try:
        return json.loads(data)
    except RecursionError:
        raise ValueError("its JSON is nested too deeply") from None


def _is(value: Any, types: tuple[type, ...]) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, float) and not math.isfinite(value):
        return False
    return isinstance(value, types)


def entry_attrs(document: Any) -> dict[str, Any] | None:
    """The attributes of an entry's metadata, or None when they are not
    those of an entry: a source that is a string, counts that are whole
    numbers, the chunk sizes as names and byte counts."""
    attrs = document.get("attributes") if isinstance(document, dict) else None
    if not isinstance(attrs, dict) or not isinstance(attrs.get("source"), str) or not attrs["source"]:
        return None
    if not all(_is(attrs.get(name), types) for name, types in _ATTR_TYPES.items()):
        return None
    if not all(_is(attrs[name], types) for name, types in _OPTIONAL_TYPES.items() if name in attrs):
        return None
    if attrs["frames"] < 0 or attrs["size"] < 0:
        return None
    recorded = attrs.get("chunk_bytes", {})
    if not all(isinstance(name, str) and _is(size, (int,)) and size >= 0 for name, size in recorded.items()):
        return None
    if not all(isinstance(name, str) for name in attrs.get("axes", [])):
        return None
    return attrs


def _whole_numbers(value: Any) -> tuple[int, ...] | None:
    if not isinstance(value, list) or not all(_is(n, (int,)) and n >= 0 for n in value):
        return None
    return tuple(value)


Layout = tuple[tuple[int, ...], tuple[int, ...], list[str]]


def layout(document: dict[str, Any], attrs: dict[str, Any], chunk_files: Callable[[], Collection[str]]) -> Layout:
    """An entry's shape, chunk shape and chunk names, checked against each
    other, its ``frames`` record and its chunk files (those ``chunk_bytes``
    records; in entries of older versions, which record none, those
    ``chunk_files`` lists) before any of them is read. Raises
    :class:`DamagedEntry` saying what disagrees."""
    shape = _whole_numbers(document.get("shape"))
    grid = document.get("chunk_grid")
    configuration = grid.get("configuration") if isinstance(grid, dict) else None
    chunks = _whole_numbers(configuration.get("chunk_shape") if isinstance(configuration, dict) else None)
    # Features (rows, frames) or (harmonics, bins, frames), a channel axis before either.
    if shape is None or chunks is None or len(shape) not in (2, 3, 4) or len(chunks) != len(shape) \
            or document.get("data_type") != "float32":
        raise DamagedEntry("its metadata does not describe a float32 array of 2 to 4 dimensions")
    if "axes" in attrs and len(attrs["axes"]) != len(shape):
        raise DamagedEntry(f"its shape {list(shape)} has {len(shape)} axes, it names {len(attrs['axes'])}")
    if chunks[:-1] != shape[:-1] or chunks[-1] < 1:
        raise DamagedEntry(f"its chunk shape {list(chunks)} does not fit its shape {list(shape)}")
    if shape[-1] != attrs["frames"]:
        raise DamagedEntry(f"its shape has {shape[-1]} frames, its record says {attrs['frames']}")
    count = max(1, -(-shape[-1] // chunks[-1]))
    recorded = attrs.get("chunk_bytes")
    present = recorded.keys() if isinstance(recorded, dict) else chunk_files()
    if count != len(present):
        kept = "records" if isinstance(recorded, dict) else "has"
        raise DamagedEntry(f"its shape implies {count} chunks, it {kept} {len(present)}")
    leading = ".0" * (len(shape) - 1)
    names = [f"c{leading}.{k}" for k in range(count)]
    if set(names) != set(present):
        raise DamagedEntry(f"its chunks are not named as its shape implies ({names[0]} ... {names[-1]})")
    return shape, chunks, names


def entry_key(path: str) -> str:
    """The name of a file's entry: a digest of its absolute path."""
    return hashlib.sha256(os.fsencode(path)).hexdigest()[:32]


def inspect_entry(document: Any, key: str, size_of: Callable[[str], int | None],
                  chunk_files: Callable[[], Collection[str]]) -> tuple[dict[str, Any] | None, Layout | str | None]:
    """What the metadata ``document`` of the entry named ``key`` is: (None,
    None) when not an entry's (its attributes' types are off, or its source
    is not the one its name stands for); else its attributes and its layout
    when its files are whole, by ``size_of`` each chunk file (None when
    missing), or what is wrong with them."""
    attrs = entry_attrs(document)
    if attrs is None or entry_key(attrs["source"]) != key:
        return None, None
    try:
        found = layout(document, attrs, chunk_files)
    except DamagedEntry as e:
        return attrs, str(e)
    recorded = attrs.get("chunk_bytes")
    for name in found[2]:
        size = size_of(name)
        if size is None:
            return attrs, f"chunk {name} is missing"
        # A chunk shorter than recorded: a power cut before it reached the
        # disk, or a write cut off. Entries of older versions record none.
        if isinstance(recorded, dict) and size != recorded[name]:
            return attrs, f"chunk {name} has {size} bytes, {recorded[name]} were written"
    return attrs, found


@dataclass
class Scan:
    """A store's entries, by source path: those whole, with their
    attributes and the chunk shape and chunk names, and those damaged, with
    what is wrong. Folders that are not entries are in neither."""

    whole: dict[str, dict[str, Any]] = field(default_factory=dict)
    chunks: dict[str, tuple[tuple[int, ...], list[str]]] = field(default_factory=dict)
    damaged: dict[str, str] = field(default_factory=dict)

    def add(self, attrs: dict[str, Any] | None, found: Layout | str | None) -> None:
        if attrs is None:
            return
        if isinstance(found, tuple):
            self.whole[attrs["source"]] = attrs
            self.chunks[attrs["source"]] = found[1:]
        elif found is not None:
            self.damaged[attrs["source"]] = found
