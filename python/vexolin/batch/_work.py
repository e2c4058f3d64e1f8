"""One file's work, the same in a thread of this process and in a Dask task
on another machine: read it, compute its feature, write its entry, and say
how it went in a small record (the features stay in the store)."""

from __future__ import annotations

import os
import time
from typing import Any

import numpy as np
import numpy.typing as npt

import vexolin
from vexolin._features import Params
from vexolin._from_file import feature_of_file
from vexolin._io import AudioFileError
from vexolin.batch import _store
from vexolin.batch._params import feature_of

# What a file can go wrong with; anything else is a fault of ours and is
# left to propagate.
FILE_ERRORS = (AudioFileError, ValueError, TypeError, OSError, MemoryError, RuntimeError)


def compute(path: str, params: dict[str, Any], threads: int) -> tuple[npt.NDArray[np.float32], int, int, Params]:
    """The feature of one file as the package computes it, on ``threads``
    threads; its rate, its samples per channel and the parameters used."""
    feature, own = feature_of(params)
    return feature_of_file(path, feature, own, sr=params["sr"], mono=params["mono"], workers=threads)


def extract_file(path: str, out: str, params: dict[str, Any], threads: int = 1) -> dict[str, Any]:
    """Compute and store one file's feature on ``threads`` threads; a record of the outcome.

    A file that cannot be read or computed gets a "failed" record with the
    reason, and loses an entry it had from an earlier version of the file.
    """
    started = time.perf_counter()
    record: dict[str, Any] = {"path": path, "status": "failed"}
    key = _store.entry_key(path)
    try:
        stat = os.stat(path)
        record.update(size=stat.st_size, mtime_ns=stat.st_mtime_ns)
        values, sr, n_samples, used = compute(path, params, threads)
        seconds = n_samples / sr
        record.update(frames=values.shape[-1], seconds=seconds, sr=sr,
                      channels=1 if values.ndim == 2 else values.shape[0])
        record["compute_seconds"] = round(time.perf_counter() - started, 6)
        _store.write_entry(out, key, values, {
            "source": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sr": sr,
            "duration": seconds, "n_samples": n_samples, "channels": record["channels"],
            "frames": record["frames"], "compute_seconds": record["compute_seconds"],
            "params": params, "vexolin": vexolin.__version__,
            # The tuning this file was computed with: estimated when the run's is None.
            **({"tuning": used["tuning"]} if "tuning" in used else {})})
    except FILE_ERRORS as e:
        reason = e.reason if isinstance(e, AudioFileError) else str(e) or type(e).__name__
        record.update(error=reason, compute_seconds=round(time.perf_counter() - started, 6))
        if os.path.isdir(_store.entry_dir(out, key)):
            _store.remove_entry(out, key)
        return record
    record["status"] = "done"
    return record
