"""A store entry's files written by hand: Zarr v3 array metadata and its
chunks (little-endian float32, zstd with a checksum, cut along time).

Not through ``zarr.create_array``: Zarr's per-array machinery costs a few
milliseconds per file, as much as the transform of 30 s of audio, and holds
the interpreter lock throughout. Zarr reads these arrays like its own (the
tests check)."""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any

import numcodecs  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

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


def decode_entry(metadata: dict[str, Any], read: Callable[[list[str]], dict[str, bytes]]) -> npt.NDArray[np.float32]:
    """The array of an entry written by :func:`encode_entry` from its
    metadata, its chunk files fetched together through ``read``."""
    shape = tuple(int(n) for n in metadata["shape"])
    chunks = tuple(int(n) for n in metadata["chunk_grid"]["configuration"]["chunk_shape"])
    frames = chunks[-1]
    leading = ".0" * (len(shape) - 1)
    names = [f"c{leading}.{k}" for k in range(max(1, -(-shape[-1] // frames)))]
    data = read(names)
    values = np.empty(shape, dtype=np.float32)
    for k, name in enumerate(names):
        block = np.frombuffer(_ZSTD.decode(data[name]), dtype="<f4").reshape(chunks)
        part = values[..., k * frames:(k + 1) * frames]
        part[...] = block[..., : part.shape[-1]]
    return values
