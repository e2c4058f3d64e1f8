"""A batch run: the inputs and the store checked, the store locked, files
already done skipped, the rest computed on threads or a cluster, and the
table written."""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Iterable
from dataclasses import dataclass, replace
from typing import Any

import vexolin
from vexolin._core import budget
from vexolin._signals import sigterm_as_interrupt
from vexolin.batch._cluster import run_on_cluster
from vexolin.batch._dask import check_client, check_workers, connect, quiet_dask_logs
from vexolin.batch._fs import Unreachable
from vexolin.batch._inputs import Inputs, find_inputs
from vexolin.batch._match_index import STEP, index_of
from vexolin.batch._params import checked
from vexolin.batch._progress import Progress
from vexolin.batch._run import TASK_SECONDS, Run
from vexolin.batch._threads import run_in_threads
from vexolin.batch.store import (FileRecord, Row, Store, agreeing_table, broken_entries, check_store, create_store,
                                 done_row, keeps_shapes, open_store, read_table, stored_params, write_table)

InputNames = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]


@dataclass(frozen=True)
class Summary:
    """What a run of :func:`extract` did.

    :func:`extract` returns it; each argument below is kept as the
    attribute of its name.

    Parameters
    ----------
    out : str
        The store the run wrote.
    files : int
        Files the inputs named.
    computed : int
        Files computed by this run.
    skipped : int
        Files already in the store, unchanged, and not computed again.
    failed : dict of str to str
        Files that failed, with the reason, by path.
    audio_seconds : float
        Seconds of audio computed by this run.
    elapsed : float
        Wall-clock seconds of the run.
    not_retried : int
        Files among ``failed`` that failed before, unchanged since, and were
        not tried again (``retry_failed=False``).

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin.batch
    >>> music = tempfile.mkdtemp()
    >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
    >>> for name in ("a.wav", "b.wav"):
    ...     soundfile.write(os.path.join(music, name), tone, 22050)
    >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
    >>> first = vexolin.batch.extract(music, out=out, progress=False)
    >>> first.files, first.computed, first.skipped, first.failed, first.audio_seconds
    (2, 2, 0, {}, 2.0)
    >>> again = vexolin.batch.extract(music, out=out, progress=False)  # nothing new to compute
    >>> again.computed, again.skipped, again.not_retried
    (0, 2, 0)
    """

    out: str
    files: int
    computed: int
    skipped: int
    failed: dict[str, str]
    audio_seconds: float
    elapsed: float
    not_retried: int = 0


def _write_table(store: Store, paths: list[str], rows: dict[str, FileRecord | Row],
                 stored: dict[str, dict[str, Any]], unreadable: dict[str, str]) -> None:
    """The table of every file the store has seen: earlier runs' rows (made
    to agree with the entries), updated with this run's; files this run did
    not reach are "pending". Folders this run could not read have a
    "skipped" row each (an earlier run's are dropped: it may be readable now)."""
    table: dict[str, FileRecord | Row] = {row["path"]: row for row in agreeing_table(read_table(store), stored)
                                          if row.get("status") != "skipped"}
    for path in paths:
        table[path] = rows.get(path, {"path": path, "status": "pending"})
    for folder, reason in unreadable.items():
        table.setdefault(folder, {"path": folder, "status": "skipped",
                                  "error": f"the folder cannot be read ({reason}); the files in it were not listed"})
    write_table(store, table.values())


def _whole(text: Any) -> int:
    try:
        return int(text)
    except (TypeError, ValueError):
        return 0


def _count(text: str | None) -> int | None:
    """A count as the table holds it; None when it holds none."""
    try:
        return None if text is None else int(text)
    except ValueError:
        return None


def _failed_before(row: Row | None, path: str, inputs: Inputs) -> bool:
    """Whether the table says ``path`` failed, and the file is as it was then."""
    if row is None or row.get("status") != "failed":
        return False
    try:
        size, mtime_ns = inputs.stamp(path)
    except OSError:
        return False
    return row.get("size") == str(size) and row.get("mtime_ns") == str(mtime_ns)


def extract(
    inputs: InputNames,
    *,
    out: str | os.PathLike[str],
    feature: str = "chroma",
    client: Any = None,
    workers: int | None = None,
    progress: bool | None = None,
    storage_options: dict[str, Any] | None = None,
    task_seconds: float = TASK_SECONDS,
    fsync: bool = True,
    retry_failed: bool = False,
    **params: Any,
) -> Summary:
    """Compute a feature for every input file into the Zarr store ``out``.

    Parameters
    ----------
    inputs : path or URL, or iterable of them
        Audio files, directories (searched recursively for audio files) and
        glob patterns (``**`` descends into directories): local paths or
        fsspec URLs (``s3://bucket/music/``, ``gs://...``, ``memory://...``).
    out : path or URL
        The store: a new or empty directory or location, or a store an
        earlier run made with the same ``feature`` and parameters. On a
        cluster, a local path must be on a filesystem every worker mounts at
        the same path; a URL is written by the workers directly.
    feature : {"chroma", "cqt", "cens", "vqt", "hcqt", "chords"}
        Chroma (:func:`vexolin.chroma_cqt`), CQT magnitudes
        (:func:`vexolin.cqt_magnitude`), CENS (:func:`vexolin.chroma_cens`),
        :func:`vexolin.vqt_magnitude`, :func:`vexolin.hcqt_magnitude` or
        chords (:func:`vexolin.estimate_chords`' frames), float32, each entry
        in the function's own shape (hcqt's ``(harmonics, bins, frames)``)
        with its axes named in its ``axes`` attribute.
    client : distributed.Client, str or None
        None computes on a thread pool in this process. A ``distributed.Client``
        or a scheduler address (``"tcp://host:8786"``) runs Dask tasks of one
        or more files (``task_seconds``); workers read the files and write the
        store themselves.
    workers : int or None
        The run's thread budget in this process: a pool thread per file up to
        it, each file's transform on one thread (on more when there are fewer
        files than that). None means ``VEXOLIN_THREADS`` if set, else one per
        CPU. Not used with a client: there each task's transform runs on one
        thread, and a worker runs as many tasks as it has threads.
    progress : bool or None
        Show a progress bar on stderr (files, hours of audio, speed); None
        shows it when stderr is a terminal (and none without a stderr). On a cluster, the dashboard link
        is printed unless this is False.
    storage_options : dict or None
        Options of the fsspec filesystems of URLs among ``inputs`` and
        ``out`` (credentials, ``client_kwargs={"endpoint_url": ...}``), on top
        of fsspec's configuration from the environment.
    task_seconds : float
        On a cluster, the seconds of audio a task gathers from consecutive
        files (estimated from file sizes, on the high side), so the
        scheduler's cost per task is shared by many short files; a longer
        file is a task of its own, and 0 makes every file one. Records are
        per file whatever the grouping.
    fsync : bool
        On a local filesystem, flush each entry's files and folder to the
        disk before renaming it into place (a power cut then never leaves an
        entry whose chunks are missing); False is faster on slow disks, and
        a resumed run still redoes entries whose chunks are missing or short.
    retry_failed : bool
        Try again files that failed in an earlier run and have not changed
        since (same size and modification time). By default they keep their
        failed row, with its error and number of attempts, and count in
        ``failed`` without being read again; a changed file is always tried.
    **params : dict, optional
        ``sr`` (resample to this rate; None keeps each file's), ``mono``
        (mix channels down, default True; else the feature has a leading
        channel axis), ``hop_length``, ``fmin``, ``bins_per_octave``, and
        ``n_octaves``, ``n_chroma`` for chroma and cens (and cens's
        ``win_len_smooth``) or ``n_bins`` for cqt, and the other features'
        own, with the defaults of the package's functions (hcqt's
        ``hop_length`` is 256).

    Returns
    -------
    Summary
        Counts, and the reason of every failed file.

    Raises
    ------
    FileNotFoundError, ValueError
        An input path is missing, a directory holds no audio files or a
        pattern matches none; ``out`` is a file, not a store, or a store made
        with other parameters; a parameter is out of range.
    ConnectionError
        The scheduler cannot be reached within a few seconds; or a location
        of the inputs or the store stopped answering for 20 s in all (it is
        asked again meanwhile), which ends the run with the files finished
        until then in the store.
    ImportError
        With a client: this environment lacks dask or distributed, or a
        worker's lacks a package its tasks import (``threadpoolctl``, say),
        found by asking each worker once before anything is written; the
        message names the package and the ``batch`` extra. (Also a
        ``ValueError``, as the refusals above are.)

    Notes
    -----
    A file that cannot be read or computed does not stop the others: it is
    recorded as failed and is tried again by the next run, as are files not
    reached by an interrupted run. SIGTERM (sent by job schedulers before a
    kill) stops a run as Ctrl-C does, raising
    :class:`Terminated`, a ``KeyboardInterrupt``,
    after the table is written. Nothing is written before every check above
    has passed. A run of ``cens`` ends by bringing the store's matching index
    (see :func:`vexolin.match`) up to date, so that searches start at once.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin.batch
    >>> music = tempfile.mkdtemp()
    >>> tone = 0.5 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050)  # 1 s of A4
    >>> for name in ("a.wav", "b.wav"):
    ...     soundfile.write(os.path.join(music, name), tone, 22050)
    >>> out = os.path.join(tempfile.mkdtemp(), "features.zarr")
    >>> summary = vexolin.batch.extract(music, out=out, progress=False, hop_length=256)
    >>> summary.computed
    2
    >>> store = vexolin.batch.open(out)
    >>> chroma = store[os.path.join(music, "a.wav")]
    >>> chroma.shape, vexolin.chroma_notes()[chroma.mean(axis=1).argmax()]
    ((12, 87), 'A')
    """
    asked, sr, mono = checked(feature, params)
    if client is not None and workers is not None:
        raise ValueError("workers sets the threads of the local pool; with a client, "
                         "the cluster's own workers do the work")
    thread_budget = budget(workers)
    if not (isinstance(task_seconds, (int, float)) and task_seconds >= 0):
        raise ValueError(f"task_seconds must be a number of seconds >= 0, got {task_seconds!r}")
    if client is not None:
        check_client()
    run = Run(open_store(out, storage_options), asked, sr, mono, Inputs(dict(storage_options or {})),
              threads=thread_budget, fsync=fsync, retry_failed=retry_failed, task_seconds=float(task_seconds))
    try:
        return _checked_and_locked(run, inputs, client, progress)
    except Unreachable as e:
        raise Unreachable(f"{e}; every file finished is in {run.store}: once it answers again, "
                          "run the same again to do the rest") from None


def _checked_and_locked(run: Run, inputs: InputNames, client: Any, progress: bool | None) -> Summary:
    unreadable: dict[str, str] = {}
    paths = find_inputs(inputs, run.inputs, unreadable)
    check_store(run.store, run.params)
    dask_client, own_client = connect(client) if client is not None else (None, False)
    with quiet_dask_logs() if dask_client is not None else contextlib.nullcontext():
        try:
            if dask_client is not None:
                check_workers(dask_client, [str(run.store), *paths])
            with run.store.lock() as owner, sigterm_as_interrupt():
                # Checked again: another run may have made the store meanwhile.
                if not check_store(run.store, run.params):
                    create_store(run.store, run.params, vexolin.__version__)
                return _extract_locked(replace(run, owner=owner, shaped=keeps_shapes(run.store)), paths, unreadable,
                                       dask_client, progress)
        finally:
            if own_client and dask_client is not None:
                dask_client.close()


def _extract_locked(run: Run, paths: list[str], unreadable: dict[str, str], dask_client: Any,
                    progress: bool | None) -> Summary:
    started = time.perf_counter()
    store = run.store
    store.clear_partial()
    scan = store.scan()
    stored = scan.whole
    earlier = {row["path"]: row for row in read_table(store)}
    current = [path for path in paths if path in stored and run.inputs.is_current(path, stored[path])]
    # An entry is skipped only when its chunks decode: a flipped byte keeps
    # a chunk's size, and only its checksum tells.
    whole = set(current) - broken_entries(store, scan, current).keys()
    rows: dict[str, FileRecord | Row] = {}
    todo = []
    known: list[str] = []
    for path in paths:
        if path in whole:
            rows[path] = {**done_row(stored[path]), "attempts": _count(earlier.get(path, {}).get("attempts"))}
        elif not run.retry_failed and _failed_before(earlier.get(path), path, run.inputs):
            rows[path] = earlier[path]
            known.append(path)
        else:
            todo.append(path)
    skipped = len(rows) - len(known)
    bar = Progress(len(todo), progress)
    recorded: dict[str, FileRecord] = {}

    def on_record(record: FileRecord) -> None:
        before = earlier.get(record["path"], {})
        same = before.get("size") == str(record.get("size")) and before.get("mtime_ns") == str(record.get("mtime_ns"))
        record["attempts"] = (_whole(before.get("attempts")) if same else 0) + 1
        rows[record["path"]] = recorded[record["path"]] = record
        bar(record)

    try:
        if dask_client is None:
            run_in_threads(todo, run, on_record)
        else:
            if progress is not False:
                bar.note(f"vexolin: Dask dashboard at {dask_client.dashboard_link}")
            run_on_cluster(todo, run, dask_client, on_record)
    except BaseException:
        bar.close()
        # The run's own error goes on, not the table's (the same full disk,
        # say): open() rebuilds a table that is missing or behind from the entries.
        with contextlib.suppress(OSError):
            _write_table(store, paths, rows, stored, unreadable)
        raise
    bar.close()
    _write_table(store, paths, rows, stored, unreadable)
    if run.request.feature.name == "cens":
        # Searches then start at once; an interrupted run leaves this to the first one.
        index_of(store, stored_params(store), STEP)
    computed = [recorded[path] for path in todo if path in recorded]
    return Summary(
        out=str(store), files=len(paths), computed=sum(r["status"] == "done" for r in computed), skipped=skipped,
        failed={**{path: rows[path].get("error") or "" for path in known},
                **{r["path"]: r.get("error", "") for r in computed if r["status"] == "failed"}},
        not_retried=len(known),
        audio_seconds=sum(r.get("seconds") or 0.0 for r in computed if r["status"] == "done"),
        elapsed=time.perf_counter() - started)
