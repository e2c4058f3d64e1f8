"""A store entry's files written by hand: Zarr v3 array metadata and its
chunks (little-endian float32, zstd with a checksum, cut along time).

Not through ``zarr.create_array``: Zarr's per-array machinery costs a few
milliseconds per file, as much as the transform of 30 s of audio, and holds
the interpreter lock throughout. Zarr reads these arrays like its own (the
tests check)."""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Collection, Iterator
from typing import Any

import numcodecs  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from vexolin.batch.store._validate import DamagedEntry, entry_attrs, layout

# Entries larger than this are cut into chunks along time.
_CHUNK_BYTES = 16 << 20
_ZSTD_LEVEL = 1
_ZSTD = numcodecs.Zstd(level=_ZSTD_LEVEL, checksum=True)


def _chunk_frames(leading: tuple[int, ...]) -> int:
    """Frames per chunk of an entry whose frames have shape ``leading``."""
    return max(1, _CHUNK_BYTES // max(4 * int(np.prod(leading)), 1))


def _chunks(shape: tuple[int, ...]) -> tuple[int, ...]:
    return (*shape[:-1], max(1, min(shape[-1], _chunk_frames(shape[:-1]))))


def _chunk_name(ndim: int, k: int) -> str:
    return f"c{'.0' * (ndim - 1)}.{k}"


def _encode_chunk(part: npt.NDArray[np.float32], chunks: tuple[int, ...]) -> bytes:
    block = np.zeros(chunks, dtype="<f4")  # edge chunks are stored whole, padded with the fill value
    block[..., : part.shape[-1]] = part
    return bytes(_ZSTD.encode(block))


def _metadata(shape: tuple[int, ...], chunks: tuple[int, ...], attrs: dict[str, Any],
              sizes: dict[str, int]) -> bytes:
    metadata = {
        "zarr_format": 3, "node_type": "array", "shape": list(shape), "data_type": "float32",
        "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": list(chunks)}},
        "chunk_key_encoding": {"name": "default", "configuration": {"separator": "."}},
        "fill_value": 0.0,
        "codecs": [{"name": "bytes", "configuration": {"endian": "little"}},
                   {"name": "zstd", "configuration": {"level": _ZSTD_LEVEL, "checksum": True}}],
        # Each chunk's size: a resumed run redoes an entry whose chunks did
        # not all reach the disk or the object store whole.
        "attributes": {**attrs, "chunk_bytes": sizes}, "storage_transformers": [],
    }
    return json.dumps(metadata, indent=2).encode()


def encode_entry(values: npt.NDArray[np.float32], attrs: dict[str, Any]) -> dict[str, bytes]:
    """The files of an entry holding ``values`` with attributes ``attrs``,
    by name, its metadata last."""
    chunks = _chunks(values.shape)
    frames = chunks[-1]
    files = {_chunk_name(values.ndim, k): _encode_chunk(values[..., k * frames:(k + 1) * frames], chunks)
             for k in range(max(1, -(-values.shape[-1] // frames)))}
    files["zarr.json"] = _metadata(values.shape, chunks, attrs, chunk_sizes(files))
    return files


class ChunkedEntry:
    """An entry encoded as its frames arrive, a chunk at a time, so that
    only one chunk's frames are held however many there are; its files
    equal :func:`encode_entry`'s of all the frames."""

    def __init__(self, leading: tuple[int, ...]) -> None:
        self._leading = leading
        self._frames = _chunk_frames(leading)
        self._buffer = np.zeros((*leading, self._frames), dtype=np.float32)
        self._filled = 0  # frames in the buffer
        self._chunks = 0  # chunks given out
        self._sizes: dict[str, int] = {}

    @property
    def leading(self) -> tuple[int, ...]:
        return self._leading

    @property
    def n_frames(self) -> int:
        return self._chunks * self._frames + self._filled

    def add(self, values: npt.NDArray[np.float32]) -> Iterator[tuple[str, bytes]]:
        """Take the next frames (shape ``leading + (k,)``); the chunk files they complete."""
        if values.shape[:-1] != self._leading:
            raise ValueError(f"frames of shape {values.shape[:-1]} in an entry of {self._leading}")
        at = 0
        while at < values.shape[-1]:
            take = min(self._frames - self._filled, values.shape[-1] - at)
            self._buffer[..., self._filled:self._filled + take] = values[..., at:at + take]
            self._filled += take
            at += take
            if self._filled == self._frames:
                yield self._chunk(self._buffer, self._buffer.shape)
                self._filled = 0

    def finish(self, attrs: dict[str, Any]) -> Iterator[tuple[str, bytes]]:
        """The last chunk, then the metadata with ``attrs``."""
        shape = (*self._leading, self.n_frames)
        chunks = _chunks(shape)
        if self._filled or not self._chunks:
            yield self._chunk(self._buffer[..., : self._filled], chunks)
        yield "zarr.json", _metadata(shape, chunks, attrs, self._sizes)

    def _chunk(self, part: npt.NDArray[np.float32], chunks: tuple[int, ...]) -> tuple[str, bytes]:
        name = _chunk_name(len(self._leading) + 1, self._chunks)
        data = _encode_chunk(part, chunks)
        self._sizes[name] = len(data)
        self._chunks += 1
        return name, data


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
