"""Frames written to a file as they arrive, so that a long file's result never
has to be in memory: a ``.npy`` file of Fortran order (frame after frame,
each frame's rows together) whose header is written once the frames are all
there and whose magic is written last (:func:`seal`), then decibels, CSV
rows and ``.npz`` archives read from it a chunk of frames at a time."""

from __future__ import annotations

import ast
from collections.abc import Iterable
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from vexolin._convert import amplitude_to_db, frames_to_time

# Bytes of the header: magic, version, length and the padded description.
_HEADER_BYTES = 128
_MAGIC = b"\x93NUMPY\x01\x00"
# In the magic's place until the file is sealed: numpy.load refuses the file,
# so that one left by a run killed midway (in the dB pass, say) is never read
# as a result.
_UNSEALED = b"\x93VXPART"
# Frames per chunk when reading a spooled result back.
_CHUNK_FRAMES = 16384
# Bytes of frames per chunk of the decibel pass: its temporaries are a few times this.
_DB_CHUNK_BYTES = 4 << 20


def _header(n_rows: int, n_frames: int) -> bytes:
    text = f"{{'descr': '<f4', 'fortran_order': True, 'shape': ({n_rows}, {n_frames}), }}"
    body = text.encode("ascii").ljust(_HEADER_BYTES - len(_MAGIC) - 2 - 1) + b"\n"
    return _UNSEALED + _MAGIC[len(_UNSEALED):] + len(body).to_bytes(2, "little") + body


def write_frames(f: IO[bytes], blocks: Iterable[npt.NDArray[np.float32]], n_rows: int) -> int:
    """Write the float32 (n_rows, k) blocks to ``f`` as one ``.npy`` array of
    shape (n_rows, total k); returns the total. The file reads as an array
    only once sealed (:func:`seal`); :func:`open_frames` maps it before."""
    start = f.tell()
    f.write(b"\0" * _HEADER_BYTES)
    n_frames = 0
    for block in blocks:
        f.write(memoryview(np.ascontiguousarray(block.T, dtype="<f4")).cast("B"))
        n_frames += block.shape[-1]
    end = f.tell()
    f.seek(start)
    f.write(_header(n_rows, n_frames))
    f.seek(end)
    return n_frames


def seal(path: str) -> None:
    """Make the file ``write_frames`` wrote a ``.npy`` file that numpy reads:
    the last write, once its values are final."""
    with open(path, "r+b") as f:
        f.write(_MAGIC[:len(_UNSEALED)])


def open_frames(path: str, *, writable: bool = False) -> npt.NDArray[np.float32]:
    """The array ``write_frames`` wrote, mapped from the file."""
    with open(path, "rb") as f:
        head = f.read(_HEADER_BYTES)
    n_rows, n_frames = ast.literal_eval(head[10:].decode("ascii").strip())["shape"]
    mapped: npt.NDArray[np.float32] = np.memmap(path, dtype="<f4", mode="r+" if writable else "r",
                                                offset=_HEADER_BYTES, shape=(n_rows, n_frames), order="F")
    return mapped


def chunks(n_frames: int, step: int = _CHUNK_FRAMES) -> Iterable[slice]:
    return (slice(a, min(a + step, n_frames)) for a in range(0, n_frames, step))


def _frames_read(f: IO[bytes], n_rows: int, part: slice) -> npt.NDArray[np.float32]:
    """Frames ``part`` of the file ``write_frames`` wrote, read (not mapped),
    as an array (k, n_rows): frame after frame, as the file holds them."""
    f.seek(_HEADER_BYTES + part.start * n_rows * 4)
    count = (part.stop - part.start) * n_rows
    frames = np.fromfile(f, dtype="<f4", count=count)
    if frames.size != count:
        raise ValueError(f"the spooled frames end early: {frames.size} of {count} values")
    return frames.reshape(part.stop - part.start, n_rows)


def to_db(path: str) -> None:
    """Magnitudes to decibels relative to their peak, in place, a few MiB
    of frames at a time, read and written back (the file is not mapped, so
    memory stays that of a chunk whatever its length): the values
    ``amplitude_to_db(values, ref=np.max)`` gives."""
    with open(path, "rb") as f:
        n_rows, n_frames = ast.literal_eval(f.read(_HEADER_BYTES)[10:].decode("ascii").strip())["shape"]
    step = max(1, _DB_CHUNK_BYTES // (4 * max(1, n_rows)))
    with open(path, "r+b") as f:
        peak = np.float32(0.0)
        for part in chunks(n_frames, step):
            peak = max(peak, _frames_read(f, n_rows, part).max(initial=np.float32(0.0)))
        # The peak's own decibels are the largest: every chunk is clipped below them.
        top = amplitude_to_db(np.array([[peak]], dtype=np.float32), ref=float(peak), top_db=None)[0, 0]
        for part in chunks(n_frames, step):
            db = amplitude_to_db(_frames_read(f, n_rows, part), ref=float(peak), top_db=None)
            np.maximum(db, top - np.float32(80.0), out=db)
            f.seek(_HEADER_BYTES + part.start * n_rows * 4)
            f.write(memoryview(np.ascontiguousarray(db, dtype="<f4")).cast("B"))


def write_csv(f: IO[bytes], values: npt.NDArray[np.float32], labels: list[str], sr: int, hop_length: int) -> None:
    """A row per frame, its time and then its values, a chunk of frames at a time."""
    f.write((",".join(["time", *labels]) + "\n").encode())
    for part in chunks(values.shape[1]):
        times = frames_to_time(np.arange(part.start, part.stop), sr=sr, hop_length=hop_length)
        np.savetxt(f, np.column_stack([times, values[:, part].T]), delimiter=",", fmt="%.7g")


def write_npz(f: IO[bytes], name: str, values: npt.NDArray[np.float32], labels: list[str], sr: int,
              hop_length: int, made: dict[str, Any]) -> None:
    """The archive of the command line's ``npz`` format, with ``made``, how
    it was made; the mapped values are copied in chunks."""
    times = frames_to_time(np.arange(values.shape[1]), sr=sr, hop_length=hop_length)
    arrays: dict[str, Any] = {name: values, "times": times, "labels": np.array(labels), "sr": sr,
                              "hop_length": hop_length, **made}
    np.savez(f, **arrays)
