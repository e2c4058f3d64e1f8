"""One file's work, the same in a thread of this process and in a Dask task
on another machine: read it, compute its feature, write its entry, and say
how it went in a small record (the features stay in the store)."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import shutil
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

import vexolin
from vexolin._features import FeatureRequest
from vexolin._from_file import feature_of_file, feature_of_signal
from vexolin._io import AudioFileError, info, load, load_stream
from vexolin._stream import FileFrames
from vexolin.batch import _fs, _store
from vexolin.batch._object_store import ObjectStore
from vexolin.batch._params import request_of
from vexolin.batch._zarr_entry import ChunkedEntry, encode_entry

# What a file can go wrong with; anything else is a fault of ours and is
# left to propagate.
FILE_ERRORS = (AudioFileError, ValueError, TypeError, OSError, MemoryError, RuntimeError)


# A file whose samples take more than this once read is streamed: read,
# computed and written a block at a time, so that a worker's memory stays
# bounded whatever a file's length.
STREAM_BYTES = 64 << 20
# A remote file this large is copied to a local temporary file first: a long
# one is read more than once (its tuning, then its frames).
_COPY_BYTES = 4 << 20
_BLOCK_FRAMES = 1 << 16
# At most how many times its size a file decodes to (a low-bitrate lossy
# one): smaller files are never long enough to stream, and their header is
# not read twice.
_MOST_EXPANSION = 256


@contextlib.contextmanager
def _local(path: str, size: int, storage_options: _fs.Options | None) -> Iterator[str | None]:
    """A local path to read a file at: its own, or a temporary copy of a
    large remote one (removed afterwards); None for a small remote file,
    read where it is."""
    if not _fs.is_url(path):
        yield path
    elif size < _COPY_BYTES:
        yield None
    else:
        with _fs.local_copy(path, storage_options) as copy:
            yield copy


def _streamable(local: str, size: int, params: dict[str, Any]) -> bool:
    """Whether a file is long enough to stream, and its feature can be."""
    if size * _MOST_EXPANSION <= STREAM_BYTES or not request_of(params).streams:
        return False
    about = info(local)
    stretch = max(1.0, params["sr"] / about.sr) if params["sr"] else 1.0
    return bool(about.n_samples * about.channels * 4 * stretch > STREAM_BYTES)


def compute(path: str, local: str | None, params: dict[str, Any], threads: int,
            storage_options: _fs.Options | None = None,
            fetched: bytes | None = None) -> tuple[npt.NDArray[np.float32], int, int, FeatureRequest]:
    """The feature of one file as the package computes it, on ``threads``
    threads; its rate, its samples per channel and the parameters used. A
    file at a URL is read from ``local`` (its copy), or from ``fetched`` (its
    bytes), or where it is, or from a temporary local copy when its format
    cannot be decoded from a stream."""
    asked = request_of(params)
    if local is not None:
        with _named(path):
            return feature_of_file(local, asked, sr=params["sr"], mono=params["mono"], workers=threads)
    try:
        with contextlib.nullcontext(io.BytesIO(fetched)) if fetched is not None \
                else _fs.opened(path, storage_options) as f:
            y, rate = load_stream(f, path, sr=params["sr"], mono=params["mono"])
    except AudioFileError:
        with _fs.local_copy(path, storage_options) as copy, _named(path):
            y, rate = load(copy, sr=params["sr"], mono=params["mono"])
    return feature_of_signal(y, rate, asked, workers=threads)


@contextlib.contextmanager
def _named(path: str) -> Iterator[None]:
    """Errors of a file read from a local copy name the file."""
    try:
        yield
    except AudioFileError as e:
        raise AudioFileError(path, e.reason) from None


# What an entry's attributes are made from once its frames are all computed:
# the rate, samples per channel, channels, frames and the parameters used.
AttrsOf = Callable[[int, int, int, int, FeatureRequest], dict[str, Any]]


def streamed_entry(local: str, params: dict[str, Any], attrs_of: AttrsOf) -> _store.EntryFiles:
    """A file's entry, chunk by chunk as its frames are computed from blocks
    of its samples; equal to the entry of its whole signal's feature."""
    frames_of = FileFrames(local, request_of(params), sr=params["sr"], mono=params["mono"],
                           block_frames=_BLOCK_FRAMES)
    entry: ChunkedEntry | None = None
    for frames in frames_of:
        entry = entry or ChunkedEntry(frames.shape[:-1])
        yield from entry.add(frames)
    assert entry is not None
    channels = 1 if len(entry.leading) == 1 else entry.leading[0]
    yield from entry.finish(attrs_of(frames_of.sr, frames_of.n_samples, channels, entry.n_frames,
                                     frames_of.request))


class _RunEnded(Exception):
    """The run's lock went to another while a long file was written."""


def _while(may_write: Callable[[], bool], files: _store.EntryFiles) -> _store.EntryFiles:
    for name, data in files:
        if name == "zarr.json" and not may_write():
            raise _RunEnded
        yield name, data


class StoreFull(OSError):
    """The store's disk or quota is full: the run stops, as every later file would fail too."""

    def __str__(self) -> str:
        return str(self.strerror)


def extract_file(path: str, out: _store.Out, params: dict[str, Any], threads: int = 1,
                 storage_options: _fs.Options | None = None, fsync: bool = True,
                 staged: list[tuple[str, str]] | None = None,
                 may_write: Callable[[], bool] | None = None,
                 computing: contextlib.AbstractContextManager[Any] | None = None) -> dict[str, Any]:
    """Compute and store one file's feature on ``threads`` threads; a record of the outcome.

    A long file is streamed, its entry written as its frames are computed.
    A file that cannot be read or computed gets a "failed" record with the
    reason, and loses an entry it had from an earlier version of the file.
    A full disk under the store raises :class:`StoreFull`. With ``staged``
    (a local store), the entry is only staged and added there, for the
    caller to place (:func:`vexolin.batch._store.place_entries`). When
    ``may_write`` says no, once the file is computed, the store is left
    alone and the file is "pending". ``computing`` is held while the file
    is decoded, computed and encoded, not while a remote file or entry is
    fetched or put: the caller's threads then overlap their waits on the
    network with others' work, and ``computing`` bounds how many compute.
    """
    computing = computing or contextlib.nullcontext()
    started = time.perf_counter()
    record: dict[str, Any] = {"path": path, "status": "failed"}
    key = _store.entry_key(path)

    def attrs_of(sr: int, n_samples: int, channels: int, frames: int, used: FeatureRequest) -> dict[str, Any]:
        seconds = n_samples / sr
        record.update(frames=frames, seconds=seconds, sr=sr, channels=channels,
                      compute_seconds=round(time.perf_counter() - started, 6))
        return {
            "source": path, "size": record["size"], "mtime_ns": record["mtime_ns"], "sr": sr,
            "duration": seconds, "n_samples": n_samples, "channels": channels,
            "frames": frames, "compute_seconds": record["compute_seconds"],
            "params": params, "vexolin": vexolin.__version__,
            # The tuning this file was computed with: estimated when the run's is None.
            **({"tuning": used["tuning"]} if "tuning" in used else {})}

    try:
        size, mtime_ns = _fs.stamp(path, storage_options)
        record.update(size=size, mtime_ns=mtime_ns)
        with _local(path, size, storage_options) as local:
            if local is not None and _streamable(local, size, params):
                if may_write is not None and not may_write():
                    return {"path": path, "status": "pending"}
                files = streamed_entry(local, params, attrs_of)
                if may_write is not None:  # checked again before the entry becomes whole
                    files = _while(may_write, files)
                with computing:  # its frames are computed as its entry is written
                    _write(out, key, files, fsync, staged)
            else:
                fetched = _fs.fetched(path, storage_options) if local is None else None
                with computing:
                    values, sr, n_samples, used = compute(path, local, params, threads, storage_options, fetched)
                    del fetched
                    channels = 1 if values.ndim == 2 else values.shape[0]
                    files = encode_entry(values, attrs_of(sr, n_samples, channels, values.shape[-1], used)).items()
                    del values
                if may_write is not None and not may_write():
                    return {"path": path, "status": "pending"}
                _write(out, key, files, fsync, staged)
    except _RunEnded:
        return {"path": path, "status": "pending"}
    except FILE_ERRORS as e:
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            raise StoreFull(e.errno, f"{out}: no space left for the store ({e.strerror}); every file "
                                     "finished is in it: make room and run again to do the rest") from None
        reason = e.reason if isinstance(e, AudioFileError) else str(e) or type(e).__name__
        record.update(error=reason, compute_seconds=round(time.perf_counter() - started, 6))
        if may_write is not None and not may_write():
            return {"path": path, "status": "pending"}
        if isinstance(out, ObjectStore) or os.path.isdir(_store.entry_dir(out, key)):
            _store.remove_entry(out, key)
        return record
    record["status"] = "done"
    return record


def _write(out: _store.Out, key: str, files: _store.EntryFiles, fsync: bool,
           staged: list[tuple[str, str]] | None) -> None:
    if staged is not None and isinstance(out, str):
        staged.append((_store.stage_entry(out, key, files), key))
    else:
        _store.write_entry_files(out, key, files, fsync=fsync)


# BLAS and OpenMP pools of this worker process, pinned once: a worker with N
# threads runs N transforms and nothing besides.
_pinned = False


def _pin_native_pools() -> None:
    global _pinned
    if not _pinned:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
        threadpool_limits(limits=1)
        _pinned = True


def extract_files(paths: list[str], out: _store.Out, params: dict[str, Any], run: str | None = None,
                  storage_options: _fs.Options | None = None, fsync: bool = True) -> list[dict[str, Any]]:
    """A cluster task: several files one after another, each on one engine
    thread, with a record per file. Dask cannot stop a running task, so the
    task checks that the store's lock still holds ``run`` before it writes
    a file's entry (one small read), and stops when it does not: the run
    was interrupted or lost its client, and another may hold the store. In
    a local store the task's entries are placed together at its end, after
    one flush of the disk; a task killed before then leaves its files to redo."""
    _pin_native_pools()
    records: list[dict[str, Any]] = []
    staged: list[tuple[str, str]] = []

    def still_this_run() -> bool:
        return run is None or _store.lock_owner(out) == run

    try:
        for path in paths:
            records.append(extract_file(path, out, params, 1, storage_options, fsync, staged,
                                        may_write=still_this_run))
            if records[-1]["status"] == "pending":
                break
        if isinstance(out, str) and (run is None or _store.lock_owner(out) == run):
            _store.place_entries(out, staged, fsync=fsync)
            staged.clear()
    finally:
        for partial, _ in staged:  # not placed: the run has ended, or this task failed
            shutil.rmtree(partial, ignore_errors=True)
    placed = {record["path"] for record in records if record["status"] == "done"} if not staged else set()
    return [record if record["status"] != "done" or record["path"] in placed
            else {"path": record["path"], "status": "pending"} for record in records]

