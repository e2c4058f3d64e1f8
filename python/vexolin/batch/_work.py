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
from vexolin._io import AudioFileError
from vexolin.batch import _store

# What a file can go wrong with; anything else is a fault of ours and is
# left to propagate.
FILE_ERRORS = (AudioFileError, ValueError, TypeError, OSError, MemoryError, RuntimeError)


def compute(path: str, params: dict[str, Any]) -> tuple[npt.NDArray[np.float32], int, int]:
    """The feature of one file as the package computes it, its rate and its samples per channel."""
    y, sr = vexolin.load(path, sr=params["sr"], mono=params["mono"])
    if y.shape[-1] == 0:
        raise ValueError("the file holds no samples")
    common = dict(sr=sr, hop_length=params["hop_length"], fmin=params["fmin"],
                  bins_per_octave=params["bins_per_octave"], workers=1)
    if params["feature"] == "chroma":
        values = vexolin.chroma_cqt(y, n_octaves=params["n_octaves"], n_chroma=params["n_chroma"], **common)
    else:
        values = vexolin.cqt_magnitude(y, n_bins=params["n_bins"], **common)
    return values, sr, y.shape[-1]


def extract_file(path: str, out: str, params: dict[str, Any]) -> dict[str, Any]:
    """Compute and store one file's feature; a record of the outcome.

    A file that cannot be read or computed gets a "failed" record with the
    reason, and loses an entry it had from an earlier version of the file.
    """
    started = time.perf_counter()
    record: dict[str, Any] = {"path": path, "status": "failed"}
    key = _store.entry_key(path)
    try:
        stat = os.stat(path)
        record.update(size=stat.st_size, mtime_ns=stat.st_mtime_ns)
        values, sr, n_samples = compute(path, params)
        seconds = n_samples / sr
        record.update(frames=values.shape[-1], seconds=seconds, sr=sr,
                      channels=1 if values.ndim == 2 else values.shape[0])
        record["compute_seconds"] = round(time.perf_counter() - started, 6)
        _store.write_entry(out, key, values, {
            "source": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns, "sr": sr,
            "duration": seconds, "n_samples": n_samples, "channels": record["channels"],
            "frames": record["frames"], "compute_seconds": record["compute_seconds"],
            "params": params, "vexolin": vexolin.__version__})
    except FILE_ERRORS as e:
        reason = e.reason if isinstance(e, AudioFileError) else str(e) or type(e).__name__
        record.update(error=reason, compute_seconds=round(time.perf_counter() - started, 6))
        if os.path.isdir(_store.entry_dir(out, key)):
            _store.remove_entry(out, key)
        return record
    record["status"] = "done"
    return record
