"""The matching index of a feature store: every entry's CENS at the matching
rate, quantised, in one contiguous array with each file's offset.

Values are CENS frames of unit length scaled by :data:`SCALE` and rounded
(int16): inner products of such frames, and their sums along a diagonal,
are whole numbers well below 2**53, so float64 arithmetic gives them
exactly in any order, which makes a search's result the same whatever its
pieces, threads or BLAS.

A local store keeps its index in ``.match/``: ``step<S>.bin`` (the frames,
rows of 12 little-endian int16) and ``step<S>.json`` (the files, their
offsets and each entry's identity). It is built at the end of a batch run
of CENS or on first use, extended
for entries added since, and rebuilt when an entry changed or went; read
memory-mapped.

A store at a URL keeps it in ``.match/`` too, through the store's own
files: objects can be neither appended to nor renamed, so the frames are in
parts (``step<S>-<random>.bin``, each written whole, up to ``PART_ROWS``
rows) and the listing names each file's part. Entries added since get a new
part; an entry changed is indexed again into a new part, and parts no file
is in any more are removed once the new listing is in place. Parts are
written before the listing that names them, so a listing never names a part
that is not whole. A search reads the rows it needs in ranges, a partition
at a time, so a collection larger than memory is searched in pieces.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
import uuid
from collections.abc import Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._atomic import staged
from vexolin._chroma import cens
from vexolin.batch.store import LocalStore, Store, entry_key

SCALE = 32767
FOLDER = ".match"
#: Store frames per matching frame, unless a search asks for another: CENS
#: is smoothed over 41 frames, so a tenth of its rate keeps its detail (4.3
#: frames a second at 22050 Hz and hop 512). A batch run of CENS keeps the
#: index at this step up to date.
STEP = 10
_VERSION = 1
# The CENS window of a chroma store's entries, reduced on the fly.
CHROMA_WIN_LEN_SMOOTH = 41
# The rate a store that keeps each file's rate is matched at, before the step.
REFERENCE_SR = 22050
_ROW = np.dtype("<i2")
_ROW_BYTES = 12 * _ROW.itemsize
#: Rows a part of an index in object storage holds at most (24 MB; about
#: 68 hours at 4.3 frames a second).
PART_ROWS = 1 << 20


@dataclass(frozen=True)
class IndexedFile:
    source: str
    identity: str
    offset: int
    length: int
    #: The file of ``.match/`` holding its rows, from ``offset``.
    part: str


@dataclass(frozen=True)
class Rows:
    """Reads an index's rows from its store; a value, so that a cluster's
    tasks read their partitions themselves."""

    store: Store

    def read(self, part: str, start: int, stop: int) -> npt.NDArray[np.int16]:
        """Rows ``start`` to ``stop`` of ``part`` (rows x 12): memory-mapped
        from a local store, read in one range from one at a URL."""
        if stop <= start:
            return np.zeros((0, 12), dtype=_ROW)
        if isinstance(self.store, LocalStore):
            return np.memmap(os.path.join(self.store.path, FOLDER, part), dtype=_ROW, mode="r",
                             offset=start * _ROW_BYTES, shape=(stop - start, 12))
        data = self.store.read_extra(f"{FOLDER}/{part}", start * _ROW_BYTES, stop * _ROW_BYTES)
        if data is None or len(data) != (stop - start) * _ROW_BYTES:
            raise OSError(f"{self.store}: the matching index's part {FOLDER}/{part} is missing or short "
                          "(removed while this search read it?); search again")
        return np.frombuffer(data, dtype=_ROW).reshape(-1, 12)


@dataclass(frozen=True)
class Index:
    """The files indexed, in order, and where their rows are."""

    files: list[IndexedFile]
    #: Matching frames per second.
    rate: float
    rows: Rows


def partitions(files: list[IndexedFile], most_rows: int) -> list[list[IndexedFile]]:
    """Consecutive files in groups of about ``most_rows`` rows (a longer file alone)."""
    groups: list[list[IndexedFile]] = []
    current: list[IndexedFile] = []
    rows = 0
    for f in files:
        if current and rows + f.length > most_rows:
            groups.append(current)
            current, rows = [], 0
        current.append(f)
        rows += f.length
    if current:
        groups.append(current)
    return groups


def runs(files: list[IndexedFile]) -> list[list[IndexedFile]]:
    """Consecutive files whose rows follow each other in one part: read at once."""
    found: list[list[IndexedFile]] = []
    for f in files:
        last = found[-1][-1] if found else None
        if last is not None and last.part == f.part and last.offset + last.length == f.offset:
            found[-1].append(f)
        else:
            found.append([f])
    return found


def reference_sr(params: dict[str, Any]) -> int:
    """The rate whose frames, ``step`` at a time, make the matching rate."""
    return int(params["sr"]) if params.get("sr") else REFERENCE_SR


def as_cens(values: npt.NDArray[np.float32], params: dict[str, Any]) -> npt.NDArray[np.float64]:
    """A store's feature (chroma or CENS, a channel axis first or not) as CENS
    frames (n_frames, 12), channels summed and scaled to length 1 again."""
    if params["feature"] == "chroma":
        values = cens(values, CHROMA_WIN_LEN_SMOOTH)
    x = np.asarray(values, dtype=np.float64)
    if x.ndim == 3:
        x = x.sum(axis=0)
    return unit_rows(x.T)


def unit_rows(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    length = np.sqrt((x * x).sum(axis=1, keepdims=True))
    out: npt.NDArray[np.float64] = x / np.where(length > 0.0, length, 1.0)
    return out


def on_grid(frames: npt.NDArray[np.float64], step: float, count: int | None = None) -> npt.NDArray[np.float64]:
    """Frames (n, 12) taken every ``step`` frames (any step > 0), linearly
    interpolated between neighbours and scaled to length 1 again: ``count``
    of them, by default as many as fit."""
    n = frames.shape[0]
    if count is None:
        count = int((n - 1) // step) + 1
    at = np.minimum(np.arange(count, dtype=np.float64) * step, n - 1)
    first = np.floor(at).astype(np.intp)
    weight = (at - first)[:, None]
    after = np.minimum(first + 1, n - 1)
    return unit_rows((1.0 - weight) * frames[first] + weight * frames[after])


def quantised(frames: npt.NDArray[np.float64]) -> npt.NDArray[np.int16]:
    out: npt.NDArray[np.int16] = np.rint(frames * SCALE).astype(_ROW)
    return out


def entry_frames(store: Store, source: str, attrs: dict[str, Any], params: dict[str, Any],
                 step: int) -> npt.NDArray[np.int16]:
    """One entry at the matching rate, quantised."""
    x = as_cens(store.read_entry(entry_key(source)), params)
    if x.shape[0] == 0:
        return np.zeros((0, 12), dtype=_ROW)
    # Frames of this entry per matching frame: exact when its rate is the reference's.
    ratio = Fraction(int(attrs.get("sr") or reference_sr(params)) * step, reference_sr(params))
    return quantised(on_grid(x, float(ratio)))


def _identity(attrs: dict[str, Any]) -> str:
    """What changes when an entry is made again: its attributes (the file's
    size and time, frames, chunk sizes, compute time) hashed."""
    return hashlib.sha256(json.dumps(attrs, sort_keys=True, default=str).encode()).hexdigest()[:32]


def _wanted(store: Store) -> dict[str, dict[str, Any]]:
    return dict(sorted(store.scan().whole.items()))


def index_of(store: Store, params: dict[str, Any], step: int) -> Index:
    """The store's index at ``step``, brought up to date first."""
    rate = reference_sr(params) / int(params["hop_length"]) / step
    if isinstance(store, LocalStore):
        return Index(_local_index(store, params, step), rate, Rows(store))
    return Index(_stored_index(store, params, step), rate, Rows(store))


def _about(params: dict[str, Any], step: int) -> dict[str, Any]:
    return {"version": _VERSION, "params": params, "step": step, "scale": SCALE}


def _parse_listing(data: bytes | None, about: dict[str, Any], part: str | None) -> list[IndexedFile] | None:
    """The files a listing names (in ``part``, or each in its own), or None
    when it is missing or made otherwise."""
    try:
        if data is None:
            return None
        document = json.loads(data)
        if {k: document.get(k) for k in about} != about:
            return None
        return [IndexedFile(str(f[0]), str(f[1]), int(f[2]), int(f[3]), part if part is not None else str(f[4]))
                for f in document["files"]]
    except (ValueError, KeyError, TypeError, IndexError):
        return None


def _stored_index(store: Store, params: dict[str, Any], step: int) -> list[IndexedFile]:
    """An index kept through the store's own files, in parts (see the module's notes)."""
    listing = f"{FOLDER}/step{step}.json"
    about = _about(params, step)
    old = _parse_listing(store.read_extra(listing), about, None) or []
    wanted = _wanted(store)
    identities = {source: _identity(attrs) for source, attrs in wanted.items()}
    files = [f for f in old if identities.get(f.source) == f.identity]
    have = {f.source for f in files}
    pending: list[npt.NDArray[np.int16]] = []
    part, rows = "", 0

    def flush() -> None:
        if pending:
            store.write_extra(f"{FOLDER}/{part}", b"".join(p.astype(_ROW).tobytes() for p in pending))
            pending.clear()

    for source in (s for s in wanted if s not in have):
        frames = entry_frames(store, source, wanted[source], params, step)
        if not part or rows + frames.shape[0] > PART_ROWS and rows:
            flush()
            part, rows = f"step{step}-{uuid.uuid4().hex[:16]}.bin", 0
        files.append(IndexedFile(source, identities[source], rows, frames.shape[0], part))
        pending.append(frames)
        rows += frames.shape[0]
    flush()
    if files != old or store.read_extra(listing, 0, 1) is None:
        store.write_extra(listing, json.dumps(
            {**about, "files": [[f.source, f.identity, f.offset, f.length, f.part] for f in files]}).encode())
        for gone in sorted({f.part for f in old} - {f.part for f in files}):
            store.remove_extra(f"{FOLDER}/{gone}")
    return files


@contextlib.contextmanager
def _locked(folder: str) -> Iterator[None]:
    """Held while the index is brought up to date: two searches never write it at once."""
    handle = os.open(os.path.join(folder, "lock"), os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield
    finally:
        os.close(handle)


def _read_listing(path: str, about: dict[str, Any], part: str) -> list[IndexedFile] | None:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    return _parse_listing(data, about, part)


def _local_index(store: LocalStore, params: dict[str, Any], step: int) -> list[IndexedFile]:
    folder = os.path.join(store.path, FOLDER)
    os.makedirs(folder, exist_ok=True)
    part = f"step{step}.bin"
    data, listing = os.path.join(folder, part), os.path.join(folder, f"step{step}.json")
    about = _about(params, step)
    with _locked(folder):
        old = _read_listing(listing, about, part) or []
        rows = sum(f.length for f in old)
        if os.path.exists(data) and os.path.getsize(data) < rows * 12 * _ROW.itemsize:
            old, rows = [], 0  # cut short: built again
        wanted = _wanted(store)
        identities = {source: _identity(attrs) for source, attrs in wanted.items()}
        kept = [f for f in old if identities.get(f.source) == f.identity]
        added = [source for source in wanted if source not in {f.source for f in kept}]
        files = list(kept)
        if len(kept) == len(old):
            # Only new entries: appended after what is there (a run killed
            # before the listing was written leaves rows past its end, cut here).
            with open(data, "ab") as f:
                f.truncate(rows * 12 * _ROW.itemsize)
                rows = _append(f, store, wanted, added, params, step, identities, files, rows, part)
        else:
            with staged(data) as partial, open(partial, "xb") as f:
                copied = np.memmap(data, dtype=_ROW, mode="r") if os.path.getsize(data) else None
                rows, files = 0, []
                for entry in kept:
                    assert copied is not None
                    f.write(copied[entry.offset * 12:(entry.offset + entry.length) * 12].tobytes())
                    files.append(IndexedFile(entry.source, entry.identity, rows, entry.length, part))
                    rows += entry.length
                del copied
                rows = _append(f, store, wanted, added, params, step, identities, files, rows, part)
        if files != old or not os.path.exists(listing):
            with staged(listing) as partial, open(partial, "x") as out:
                json.dump({**about, "files": [[f.source, f.identity, f.offset, f.length] for f in files]}, out)
    return files


def _append(f: Any, store: Store, wanted: dict[str, dict[str, Any]], added: list[str], params: dict[str, Any],
            step: int, identities: dict[str, str], files: list[IndexedFile], rows: int, part: str) -> int:
    for source in added:
        frames = entry_frames(store, source, wanted[source], params, step)
        f.write(frames.astype(_ROW).tobytes())
        files.append(IndexedFile(source, identities[source], rows, frames.shape[0], part))
        rows += frames.shape[0]
    f.flush()
    return rows
