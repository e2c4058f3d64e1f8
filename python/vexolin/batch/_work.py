"""One file's work, the same in a thread of this process and in a Dask task
on another machine: read it, compute its feature, write its entry, and say
how it went in a small record (the features stay in the store)."""

from __future__ import annotations

import contextlib
import errno
import io
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
from vexolin.batch._fs import Unreachable
from vexolin.batch._run import Run
from vexolin.batch.store import EntryFiles, FileRecord, Staged, entry_key
from vexolin.batch.store._zarr_entry import ChunkedEntry, encode_entry

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
def _local(path: str, size: int, run: Run) -> Iterator[str | None]:
    """A local path to read a file at: its own, or a temporary copy of a
    large remote one (removed afterwards); None for a small remote file,
    read where it is."""
    if not run.inputs.is_remote(path):
        yield path
    elif size < _COPY_BYTES:
        yield None
    else:
        with run.inputs.local_copy(path) as copy:
            yield copy


def _streamable(local: str, size: int, run: Run) -> bool:
    """Whether a file is long enough to stream, and its feature can be."""
    if size * _MOST_EXPANSION <= STREAM_BYTES or not run.request.streams:
        return False
    about = info(local)
    stretch = max(1.0, run.sr / about.sr) if run.sr else 1.0
    return bool(about.n_samples * about.channels * 4 * stretch > STREAM_BYTES)


def compute(path: str, local: str | None, run: Run, threads: int,
            fetched: bytes | None = None) -> tuple[npt.NDArray[np.float32], int, int, FeatureRequest]:
    """The feature of one file as the package computes it, on ``threads``
    threads; its rate, its samples per channel and the request as computed
    (its tuning estimated, if it was to be). A file at a URL is read from
    ``local`` (its copy), or from ``fetched`` (its bytes), or where it is, or
    from a temporary local copy when its format cannot be decoded from a
    stream."""
    if local is not None:
        with _named(path):
            return feature_of_file(local, run.request, sr=run.sr, mono=run.mono, workers=threads)
    try:
        with contextlib.nullcontext(io.BytesIO(fetched)) if fetched is not None \
                else run.inputs.opened(path) as f:
            y, rate = load_stream(f, path, sr=run.sr, mono=run.mono)
    except AudioFileError:
        with run.inputs.local_copy(path) as copy, _named(path):
            y, rate = load(copy, sr=run.sr, mono=run.mono)
    return feature_of_signal(y, rate, run.request, workers=threads)


@contextlib.contextmanager
def _named(path: str) -> Iterator[None]:
    """Errors of a file read from a local copy name the file."""
    try:
        yield
    except AudioFileError as e:
        raise AudioFileError(path, e.reason) from None


# What an entry's attributes are made from once its frames are all computed:
# the rate, samples per channel, channels, frames and the request as computed.
AttrsOf = Callable[[int, int, int, int, FeatureRequest], dict[str, Any]]


def streamed_entry(local: str, run: Run, attrs_of: AttrsOf) -> EntryFiles:
    """A file's entry, chunk by chunk as its frames are computed from blocks
    of its samples; equal to the entry of its whole signal's feature."""
    frames_of = FileFrames(local, run.request, sr=run.sr, mono=run.mono, block_frames=_BLOCK_FRAMES)
    entry: ChunkedEntry | None = None
    for block in frames_of:
        frames = run.laid_out(block)
        entry = entry or ChunkedEntry(frames.shape[:-1])
        yield from entry.add(frames)
    assert entry is not None
    channels = 1 if run.mono else entry.leading[0]
    yield from entry.finish(attrs_of(frames_of.sr, frames_of.n_samples, channels, entry.n_frames,
                                     frames_of.request))


class _RunEnded(Exception):
    """The run's lock went to another while a long file was written."""


def _while(may_write: Callable[[], bool], files: EntryFiles) -> EntryFiles:
    for name, data in files:
        if name == "zarr.json" and not may_write():
            raise _RunEnded
        yield name, data


class StoreFull(OSError):
    """The store's disk or quota is full: the run stops, as every later file would fail too."""

    def __str__(self) -> str:
        return str(self.strerror)


def extract_file(path: str, run: Run, *, threads: int = 1, may_write: Callable[[], bool] | None = None,
                 computing: contextlib.AbstractContextManager[Any] | None = None) -> tuple[FileRecord, Staged | None]:
    """Compute and store one file's feature on ``threads`` threads; a record
    of the outcome, and its entry when the store staged it for the caller to
    place (:meth:`Store.place_entries`).

    A long file is streamed, its entry written as its frames are computed.
    A file that cannot be read or computed gets a "failed" record with the
    reason, and loses an entry it had from an earlier version of the file.
    A full disk under the store raises :class:`StoreFull`. When
    ``may_write`` says no, once the file is computed, the store is left
    alone and the file is "pending". ``computing`` is held while the file
    is decoded, computed and encoded, not while a remote file or entry is
    fetched or put: the caller's threads then overlap their waits on the
    network with others' work, and ``computing`` bounds how many compute.
    """
    computing = computing or contextlib.nullcontext()
    started = time.perf_counter()
    record: FileRecord = {"path": path, "status": "failed"}
    pending: FileRecord = {"path": path, "status": "pending"}
    store = run.store
    params = run.params
    key = entry_key(path)

    def attrs_of(sr: int, n_samples: int, channels: int, frames: int, used: FeatureRequest) -> dict[str, Any]:
        seconds = n_samples / sr
        compute_seconds = round(time.perf_counter() - started, 6)
        record.update({"frames": frames, "seconds": seconds, "sr": sr, "channels": channels,
                       "compute_seconds": compute_seconds})
        return {
            "source": path, "size": size, "mtime_ns": mtime_ns, "sr": sr,
            "duration": seconds, "n_samples": n_samples, "channels": channels,
            "frames": frames, "compute_seconds": compute_seconds,
            "params": params, "vexolin": vexolin.__version__,
            # The tuning this file was computed with: estimated when the run's is None.
            **({"tuning": used["tuning"]} if "tuning" in used else {}),
            **({"axes": run.axes} if run.shaped else {})}

    try:
        size, mtime_ns = run.inputs.stamp(path)
        record.update({"size": size, "mtime_ns": mtime_ns})
        with _local(path, size, run) as local:
            if local is not None and _streamable(local, size, run):
                if may_write is not None and not may_write():
                    return pending, None
                files = streamed_entry(local, run, attrs_of)
                if may_write is not None:  # checked again before the entry becomes whole
                    files = _while(may_write, files)
                with computing:  # its frames are computed as its entry is written
                    staged = store.stage_entry(key, files)
            else:
                fetched = run.inputs.fetched(path) if local is None else None
                with computing:
                    computed, sr, n_samples, used = compute(path, local, run, threads, fetched)
                    values = run.laid_out(computed)
                    del fetched, computed
                    channels = 1 if run.mono else values.shape[0]
                    files = encode_entry(values, attrs_of(sr, n_samples, channels, values.shape[-1], used)).items()
                    del values
                if may_write is not None and not may_write():
                    return pending, None
                staged = store.stage_entry(key, files)
    except _RunEnded:
        return pending, None
    except Unreachable:  # the store's endpoint, or the inputs': every later file would fail too
        raise
    except FILE_ERRORS as e:
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            raise StoreFull(e.errno, f"{store}: no space left for the store ({e.strerror}); every file "
                                     "finished is in it: make room and run again to do the rest") from None
        reason = e.reason if isinstance(e, AudioFileError) else str(e) or type(e).__name__
        record.update({"error": reason, "compute_seconds": round(time.perf_counter() - started, 6)})
        if may_write is not None and not may_write():
            return pending, None
        store.remove_entry(key)
        return record, None
    record["status"] = "done"
    return record, staged


# BLAS and OpenMP pools of this worker process, pinned once: a worker with N
# threads runs N transforms and nothing besides.
_pinned = False


def _pin_native_pools() -> None:
    global _pinned
    if not _pinned:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
        threadpool_limits(limits=1)
        _pinned = True


def extract_files(paths: list[str], run: Run) -> list[FileRecord]:
    """A cluster task: several files one after another, each on one engine
    thread, with a record per file. Dask cannot stop a running task, so the
    task checks that the store's lock still holds the run's owner before it
    writes a file's entry (one small read), and stops when it does not: the
    run was interrupted or lost its client, and another may hold the store.
    Entries the store stages (a local store's) are placed together at the
    task's end, after one flush of the disk; a task killed before then
    leaves its files to redo."""
    _pin_native_pools()
    records: list[FileRecord] = []
    staged: list[Staged] = []

    def still_this_run() -> bool:
        return run.owner is None or run.store.lock_owner() == run.owner

    try:
        for path in paths:
            record, entry = extract_file(path, run, may_write=still_this_run)
            records.append(record)
            if entry is not None:
                staged.append(entry)
            if record["status"] == "pending":
                break
        if staged and still_this_run():
            run.store.place_entries(staged, fsync=run.fsync)
            staged.clear()
    finally:
        run.store.drop_staged(staged)  # not placed: the run has ended, or this task failed
    placed = {record["path"] for record in records if record["status"] == "done"} if not staged else set()
    return [record if record["status"] != "done" or record["path"] in placed
            else {"path": record["path"], "status": "pending"} for record in records]
