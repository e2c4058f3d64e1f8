"""A store entry's files written by hand: Zarr v3 array metadata and its
chunks (little-endian float32, zstd with a checksum, cut along time).

Not through ``zarr.create_array``: Zarr's per-array machinery costs a few
milliseconds per file, as much as the transform of 30 s of audio, and holds
the interpreter lock throughout. Zarr reads these arrays like its own (the
tests check)."""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Collection
from typing import Any

import numcodecs  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexolin.batch._validate import DamagedEntry, entry_attrs, layout

# Entries larger than this are cut into chunks along time.
_CHUNK_BYTES = 16 << 20
_ZSTD_LEVEL = 1
_ZSTD = numcodecs.Zstd(level=_ZSTD_LEVEL, checksum=True)


def _chunks(shape: tuple[int, ...]) -> tuple[int, ...]:
    per_frame = 4 * int(np.prod(shape[:-1]))
    frames = max(1, min(shape[-1], _CHUNK_BYTES // max(per_frame, 1)))
    return (*shape[:-1], frames)


def encode_entry(values: npt.NDArray[np.float32], attrs: dict[str, Any]) -> dict[str, bytes]:
    """The files of an entry holding ``values`` with attributes ``attrs``, by name."""
    chunks = _chunks(values.shape)
    metadata = {
        "zarr_format": 3, "node_type": "array", "shape": list(values.shape), "data_type": "float32",
        "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": list(chunks)}},
        "chunk_key_encoding": {"name": "default", "configuration": {"separator": "."}},
        "fill_value": 0.0,
        "codecs": [{"name": "bytes", "configuration": {"endian": "little"}},
                   {"name": "zstd", "configuration": {"level": _ZSTD_LEVEL, "checksum": True}}],
        "attributes": attrs, "storage_transformers": [],
    }
    files: dict[str, bytes] = {}
    frames = chunks[-1]
    leading = ".0" * (values.ndim - 1)
    for k in range(max(1, -(-values.shape[-1] // frames))):
        block = np.zeros(chunks, dtype="<f4")  # edge chunks are stored whole, padded with the fill value
        part = values[..., k * frames:(k + 1) * frames]
        block[..., : part.shape[-1]] = part
        files[f"c{leading}.{k}"] = bytes(_ZSTD.encode(block))
    # Each chunk's size: a resumed run redoes an entry whose chunks did not
    # all reach the disk or the object store whole.
    metadata["attributes"] = {**attrs, "chunk_bytes": chunk_sizes(files)}
    files["zarr.json"] = json.dumps(metadata, indent=2).encode()  # last: written after the chunks
    return files


def chunk_sizes(files: dict[str, bytes]) -> dict[str, int]:
    """The size of each chunk file, by name, as an entry records it."""
    return {name: len(data) for name, data in files.items() if name != "zarr.json"}


def decode_entry(metadata: dict[str, Any], read: Callable[[list[str]], dict[str, bytes]],
                 chunk_files: Callable[[], Collection[str]] = tuple) -> npt.NDArray[np.float32]:
    """The array of an entry written by :func:`encode_entry` from its
    metadata, its chunk files fetched together through ``read`` (and
    listed by ``chunk_files``, for entries that record no chunk sizes).
    Raises :class:`DamagedEntry` when the metadata or a chunk is not whole,
    before allocating anything for a layout that does not hold together."""
    attrs = entry_attrs(metadata)
    if attrs is None:
        raise DamagedEntry("its metadata is not that of an entry")
    shape, chunks, names = layout(metadata, attrs, chunk_files)
    data = read(names)
    frames = chunks[-1]
    values = np.empty(shape, dtype=np.float32)
    for k, name in enumerate(names):
        block = decode_chunk(data[name], chunks)
        part = values[..., k * frames:(k + 1) * frames]
        part[...] = block[..., : part.shape[-1]]
    return values


_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def _content_size(frame: bytes) -> int | None:
    """The decoded size a zstd frame's header declares, if it declares one."""
    if len(frame) < 6 or frame[:4] != _ZSTD_MAGIC:
        return None
    descriptor = frame[4]
    single_segment = descriptor >> 5 & 1
    start = 5 + (1 - single_segment) + (0, 1, 2, 4)[descriptor & 3]
    width = (single_segment, 2, 4, 8)[descriptor >> 6]
    if width == 0 or len(frame) < start + width:
        return None
    size = int.from_bytes(frame[start:start + width], "little")
    return size + 256 if width == 2 else size


def decode_chunk(data: bytes, chunks: tuple[int, ...]) -> npt.NDArray[np.float32]:
    """One chunk of shape ``chunks``; :class:`DamagedEntry` when its frame
    declares another size or fails its checksum."""
    expected = 4 * math.prod(chunks)
    declared = _content_size(data)
    if declared != expected:
        raise DamagedEntry(f"a chunk holds {'no zstd frame' if declared is None else f'{declared} bytes'}, "
                           f"{expected} expected")
    block = np.empty(chunks, dtype="<f4")
    try:
        _ZSTD.decode(data, out=block)
    except (RuntimeError, ValueError) as e:  # zstd's checksum, or a frame cut short
        raise DamagedEntry(f"a chunk does not decode ({e})") from None
    return block
