"""One file's work, the same in a thread of this process and in a Dask task
on another machine: read it, compute its feature, write its entry, and say
how it went in a small record (the features stay in the store)."""

from __future__ import annotations

import errno
import os
import shutil
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import vexolin
from vexolin._features import Params
from vexolin._from_file import feature_of_file, feature_of_signal
from vexolin._io import AudioFileError, load, load_stream
from vexolin.batch import _fs, _store
from vexolin.batch._object_store import ObjectStore
from vexolin.batch._params import feature_of

# What a file can go wrong with; anything else is a fault of ours and is
# left to propagate.
FILE_ERRORS = (AudioFileError, ValueError, TypeError, OSError, MemoryError, RuntimeError)


def compute(path: str, params: dict[str, Any], threads: int,
            storage_options: _fs.Options | None = None) -> tuple[npt.NDArray[np.float32], int, int, Params]:
    """The feature of one file as the package computes it, on ``threads``
    threads; its rate, its samples per channel and the parameters used. A
    file at a URL is read where it is, or from a temporary local copy when
    its format cannot be decoded from a stream."""
    feature, own = feature_of(params)
    if not _fs.is_url(path):
        return feature_of_file(path, feature, own, sr=params["sr"], mono=params["mono"], workers=threads)
    try:
        with _fs.opened(path, storage_options) as f:
            y, rate = load_stream(f, path, sr=params["sr"], mono=params["mono"])
    except AudioFileError:
        with _fs.local_copy(path, storage_options) as copy:
            try:
                y, rate = load(copy, sr=params["sr"], mono=params["mono"])
            except AudioFileError as e:
                raise AudioFileError(path, e.reason) from None
    return feature_of_signal(y, rate, feature, own, workers=threads)


class StoreFull(OSError):
    """The store's disk or quota is full: the run stops, as every later file would fail too."""

    def __str__(self) -> str:
        return str(self.strerror)


def extract_file(path: str, out: _store.Out, params: dict[str, Any], threads: int = 1,
                 storage_options: _fs.Options | None = None, fsync: bool = True,
                 staged: list[tuple[str, str]] | None = None,
                 may_write: Callable[[], bool] | None = None) -> dict[str, Any]:
    """Compute and store one file's feature on ``threads`` threads; a record of the outcome.

    A file that cannot be read or computed gets a "failed" record with the
    reason, and loses an entry it had from an earlier version of the file.
    A full disk under the store raises :class:`StoreFull`. With ``staged``
    (a local store), the entry is only staged and added there, for the
    caller to place (:func:`vexolin.batch._store.place_entries`). When
    ``may_write`` says no, once the file is computed, the store is left
    alone and the file is "pending".
    """
    started = time.perf_counter()
    record: dict[str, Any] = {"path": path, "status": "failed"}
    key = _store.entry_key(path)
    try:
        size, mtime_ns = _fs.stamp(path, storage_options)
        record.update(size=size, mtime_ns=mtime_ns)
        values, sr, n_samples, used = compute(path, params, threads, storage_options)
        seconds = n_samples / sr
        record.update(frames=values.shape[-1], seconds=seconds, sr=sr,
                      channels=1 if values.ndim == 2 else values.shape[0])
        record["compute_seconds"] = round(time.perf_counter() - started, 6)
        attrs = {
            "source": path, "size": size, "mtime_ns": mtime_ns, "sr": sr,
            "duration": seconds, "n_samples": n_samples, "channels": record["channels"],
            "frames": record["frames"], "compute_seconds": record["compute_seconds"],
            "params": params, "vexolin": vexolin.__version__,
            # The tuning this file was computed with: estimated when the run's is None.
            **({"tuning": used["tuning"]} if "tuning" in used else {})}
        if may_write is not None and not may_write():
            return {"path": path, "status": "pending"}
        if staged is not None and isinstance(out, str):
            staged.append((_store.stage_entry(out, key, values, attrs), key))
        else:
            _store.write_entry(out, key, values, attrs, fsync=fsync)
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

