"""Finding a passage across a collection: exact diagonal matching of CENS
over a feature store's matching index, across the 12 transpositions and a
range of tempi. Every position of every file is scored."""

from __future__ import annotations

import contextlib
import math
import os
from dataclasses import asdict, dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin import _native
from vexolin._core import map_on_threads
from vexolin._docs import fill
from vexolin._features import from_json
from vexolin._from_file import feature_of_signal
from vexolin._io import load
from vexolin.batch._match_index import (CHROMA_WIN_LEN_SMOOTH, SCALE, STEP, IndexedFile, Rows, as_cens, index_of,
                                        on_grid, partitions, quantised, reference_sr, runs)
from vexolin.batch._reading import FeatureStore

# Successive tempi tried differ by at most this ratio (6 %).
_TEMPO_RATIO = 1.06
# Positions scored at once: their sums stay in cache.
_PIECE_ROWS = 4096
# Rows correlated by one FFT (more for a long query): the fastest here,
# the transforms' buffers in cache.
_BLOCK = 1024
# How far an estimate may be from its score, at most. The estimates' FFTs
# are in float32 (whole frames of int16 are exact in it; the pitch-class
# transform's coefficients and the FFT library's twiddles are rounded to
# it): like any FFT correlation of size 12 * size, their error is about
# 2**-24 * log2(12 * size) * sqrt(size / frames) of a score, below 5e-5 for
# any block and query here (measured: below 1e-6); the margin is ten times
# that.
_MARGIN = 5e-4
# Rows of the index a task searches at most (48 MB; about 135 hours at 4.3
# frames a second): what a search holds of a store at a URL at once.
_PARTITION_ROWS = 1 << 21
# Tasks per thread searching, where the index has enough files.
_TASKS_PER_THREAD = 4
# Rows a cluster's task searches at least, where the index has them (about
# 17 hours at 4.3 frames a second, a fifth of a second's search): a task
# costs the cluster some tens of milliseconds besides.
_TASK_ROWS = 1 << 18
# The order ties are settled in: the smallest move, up before down.
_SHIFTS = (0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6)


@dataclass(frozen=True)
class Match:
    """A passage of a file that matches the query.

    Parameters
    ----------
    path : str
        The file, as the store names it.
    start, end : float
        Seconds in that file.
    shift : int
        Semitones (-5 to 6) by which the query is moved to match it: -2
        when the query is two semitones above the passage.
    tempo : float
        The passage's tempo relative to the query's (above 1: faster, so
        shorter).
    score : float
        The mean inner product of the query's CENS frames with the
        passage's, between 0 and 1 (1: the same).

    Examples
    --------
    >>> m = Match("music/b.wav", 6.0, 11.0, -2, 1.0, 0.97)
    >>> m.end - m.start, m.as_dict()["shift"]
    (5.0, -2)
    """

    path: str
    start: float
    end: float
    shift: int
    tempo: float
    score: float

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def _tempi(tempo: Any) -> list[float]:
    """The tempi tried: 1.06**k within the range, and its two ends; ties
    go to the one nearest 1."""
    if tempo is None:
        return [1.0]
    try:
        low, high = (float(t) for t in tempo)
    except (TypeError, ValueError):
        raise ValueError(f"tempo must be a pair (min, max) of numbers > 0 or None, got {tempo!r}") from None
    if not (0.25 <= low <= high <= 4.0):
        raise ValueError(f"tempo must be (min, max) with 0.25 <= min <= max <= 4, got {tempo!r}")
    step = math.log(_TEMPO_RATIO)
    tried = {low, high} | {_TEMPO_RATIO ** k for k in range(math.ceil(math.log(low) / step - 1e-9),
                                                           math.floor(math.log(high) / step + 1e-9) + 1)}
    tried = {t for t in tried if low <= t <= high}
    return sorted(tried, key=lambda t: (abs(math.log(t)), t))


def _store(collection: Any, storage_options: dict[str, Any] | None) -> FeatureStore:
    if isinstance(collection, FeatureStore):
        return collection
    if not isinstance(collection, (str, os.PathLike)):
        raise TypeError(f"collection must be a store's path or URL, or a FeatureStore, got {type(collection).__name__}")
    return FeatureStore(collection, storage_options)


def _query_frames(query: Any, sr: float | None, params: dict[str, Any]) -> tuple[npt.NDArray[np.float64], float]:
    """The query's CENS frames (n, 12), as the store's entries are made, and
    the sample rate they were computed at."""
    fixed: int | None = params.get("sr")
    if isinstance(query, (str, os.PathLike)):
        y, rate = load(query, sr=fixed, mono=True)
        return _signal_frames(y, rate, params), float(rate)
    x = np.asarray(query)
    if x.dtype.kind not in "fiu" or x.ndim not in (1, 2) or x.size == 0:
        raise ValueError(f"query must be an audio file's path, a signal (1-D, or channels x samples) or "
                         f"features (12 x frames), got an array of shape {x.shape} and dtype {x.dtype}")
    is_features = x.ndim == 2 and x.shape[0] == 12
    if sr is None and (not is_features or not fixed):
        raise ValueError("sr is required with a query given as an array: the rate of its signal"
                         + ("" if not is_features else " (the store keeps each file's rate)"))
    given = float(sr) if sr is not None else float(fixed or 0)
    if not (math.isfinite(given) and given > 0):
        raise ValueError(f"sr must be a rate in Hz > 0, got {sr!r}")
    if fixed and given != float(fixed):
        raise ValueError(f"the query's rate sr={sr} differs from the store's sr={fixed}: its features were "
                         f"computed at {fixed} Hz; pass the query at that rate (vexolin.load(path, sr={fixed})) "
                         "or its file's path")
    if is_features:
        if not np.isfinite(x).all():
            raise ValueError("the query's features hold NaN or infinite values")
        return as_cens(x.astype(np.float32), params), given
    y = x.astype(np.float32)
    if y.ndim == 2:
        y = y.mean(axis=0)
    if not given.is_integer():
        raise ValueError(f"sr must be a whole number of Hz, got {sr!r}")
    return _signal_frames(y, int(given), params), given


def _signal_frames(y: npt.NDArray[np.float32], rate: int, params: dict[str, Any]) -> npt.NDArray[np.float64]:
    values, _, _, _ = feature_of_signal(np.ascontiguousarray(y, dtype=np.float32), rate, from_json(params),
                                        workers=None)
    return as_cens(values, params)


@dataclass(frozen=True)
class _Variant:
    """The query at one tempo, its shifts laid out by lag: ``lags[i]`` is
    (12, shifts), frame i of the query under each shift."""

    tempo: float
    frames: int
    shifts: tuple[int, ...]
    lags: npt.NDArray[np.float64]


def _variants(q: npt.NDArray[np.float64], grid_step: float, tempi: list[float],
              shifts: tuple[int, ...]) -> list[_Variant]:
    made = []
    for tempo in tempi:
        # The passage lasts the query's length / tempo: the query's frames
        # taken every grid_step * tempo, linearly interpolated.
        count = int((q.shape[0] - 1) // (grid_step * tempo)) + 1
        frames = quantised(on_grid(q, grid_step * tempo, count)).astype(np.float64)
        if count < 2:
            continue
        moved = np.stack([np.roll(frames, s, axis=1) for s in shifts])  # (shifts, count, 12)
        made.append(_Variant(tempo, count, shifts, np.ascontiguousarray(moved.transpose(1, 2, 0))))
    return made


def _scores(x: npt.NDArray[np.int16], variant: _Variant, piece: int | None) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.intp]]:
    """For every position p of ``x`` where the variant fits, the best score
    over the shifts and that shift's index: sum_i <Q_i, X_{p+i}> / M,
    computed exactly (whole numbers in float64) a piece at a time."""
    m = variant.frames
    positions = x.shape[0] - m + 1
    best = np.full(max(positions, 0), -np.inf)
    which = np.zeros(max(positions, 0), dtype=np.intp)
    if positions <= 0:
        return best, which
    size = piece or _PIECE_ROWS
    for a in range(0, positions, size):
        b = min(positions, a + size)
        block = np.asarray(x[a:b + m - 1], dtype=np.float64)
        # Lag by lag: a small product each, added up in place (every
        # position and shift at once, no diagonal gathered).
        sums = block[:b - a] @ variant.lags[0]
        for i in range(1, m):
            sums += block[i:i + b - a] @ variant.lags[i]
        which[a:b] = sums.argmax(axis=1)  # the first of equals: the preferred shift
        best[a:b] = sums[np.arange(b - a), which[a:b]] / (m * float(SCALE) ** 2)
    return best, which


def _exhaustive_best(x: npt.NDArray[np.int16], variants: list[_Variant], piece: int | None) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.intp]]:
    """Every tempo's best score and its shift's index at every position."""
    n = x.shape[0]
    best = np.full((len(variants), n), -np.inf)
    shift_at = np.zeros((len(variants), n), dtype=np.intp)
    for t, variant in enumerate(variants):
        scores, which = _scores(x, variant, piece)
        best[t, :scores.shape[0]] = scores
        shift_at[t, :scores.shape[0]] = which
    return best, shift_at


def _estimator(variants: list[_Variant]) -> _native.MatchEstimator:
    """The native estimates of ``variants`` (their spectra made once per
    transform size, kept from one file to the next)."""
    return _native.MatchEstimator(
        variants=[np.ascontiguousarray(v.lags[:, :, v.shifts.index(0)], dtype=np.float32) for v in variants],
        shifts=list(variants[0].shifts), unit=float(SCALE) ** 2, block=_BLOCK)


def _estimates(x: npt.NDArray[np.int16], variants: list[_Variant], estimator: _native.MatchEstimator | None = None,
               cancel: _native.Cancel | None = None) -> npt.NDArray[np.float32]:
    """Every tempo's best score over its shifts at every position (-inf where
    it does not fit), within ``_MARGIN``: the diagonal sums of all the shifts
    at once as a correlation over time and pitch class, through float32 FFTs
    of ``_BLOCK`` rows (overlap-save), in the native module."""
    made = estimator if estimator is not None else _estimator(variants)
    return made.estimate(rows=np.ascontiguousarray(x, dtype=np.int16), cancel=cancel)


def _exact_at(x: npt.NDArray[np.int16], variants: list[_Variant], estimates: npt.NDArray[np.float32],
              threshold: float, piece: int | None) -> tuple[
        npt.NDArray[np.float64], npt.NDArray[np.int8], npt.NDArray[np.intp]]:
    """The positions where some tempo's estimate may reach ``threshold``, in
    order, and there the exact best score and shift's index of each such
    tempo (-inf for the others)."""
    near = [np.flatnonzero(e + _MARGIN >= threshold) for e in estimates]
    positions = np.unique(np.concatenate(near))
    best = np.full((len(variants), positions.size), -np.inf)
    shift_at = np.zeros((len(variants), positions.size), dtype=np.int8)
    size = piece or _PIECE_ROWS
    for t, (variant, at) in enumerate(zip(variants, near)):
        m = variant.frames
        if at.size == 0:
            continue
        windows = np.lib.stride_tricks.sliding_window_view(x, (m, 12))[:, 0]
        lags = variant.lags.reshape(m * 12, -1)
        for a in range(0, at.size, size):
            p = at[a:a + size]
            column = np.searchsorted(positions, p)
            # Whole numbers below 2**53: exact in float64, as in _scores.
            sums = windows[p].reshape(p.size, m * 12).astype(np.float64) @ lags
            which = sums.argmax(axis=1)
            shift_at[t, column] = which
            best[t, column] = sums[np.arange(p.size), which] / (m * float(SCALE) ** 2)
    return best, shift_at, positions


def _select(best: npt.NDArray[np.floating[Any]], shift_at: npt.NDArray[np.integer[Any]], variants: list[_Variant],
            top_k: int, positions: npt.NDArray[np.intp] | None = None) -> list[tuple[float, int, int, int, float]]:
    """A file's matches from each tempo's best score at each position (or at
    each of ``positions``, in order: those left out score below all of them):
    the local maxima of the best over tempi, best first, skipping those that
    overlap one taken."""
    count = best.shape[1]
    at = np.arange(count) if positions is None else positions
    tempo_at = best.argmax(axis=0)  # the first of equals: the tempo nearest 1
    top = best[tempo_at, np.arange(count)]
    next_to = np.diff(at) == 1
    left = np.concatenate(([-np.inf], np.where(next_to, top[:-1], -np.inf)))
    right = np.concatenate((np.where(next_to, top[1:], -np.inf), [-np.inf]))
    peaks = np.flatnonzero(np.isfinite(top) & (top >= left) & (top > right))
    order = peaks[np.lexsort((at[peaks], -top[peaks]))]
    chosen: list[tuple[int, int]] = []
    found = []
    for j in order:
        p = int(at[j])
        variant = variants[tempo_at[j]]
        end = p + variant.frames
        if any(p < e and s < end for s, e in chosen):
            continue
        chosen.append((p, end))
        found.append((float(top[j]), p, variant.frames, variant.shifts[shift_at[tempo_at[j], j]], variant.tempo))
        if len(found) == top_k:
            break
    return found


def _file_matches(x: npt.NDArray[np.int16], variants: list[_Variant], top_k: int, piece: int | None,
                  floor: float = -math.inf, exhaustive: bool = False,
                  estimator: _native.MatchEstimator | None = None, cancel: _native.Cancel | None = None
                  ) -> list[tuple[float, int, int, int, float]]:
    """The best non-overlapping matches in one file: (score, start frame,
    frames, shift, tempo), best first; those scoring ``floor`` or more are
    exact, as are all when at least ``top_k`` do.

    Only positions whose estimate may reach a threshold T are scored. Those
    whose best reaches T get their exact best, tempo and shift (the others
    of them stay below T), so the local maxima from T up and the order they
    are taken in are the ones every position scored gives. Hence the
    matches from T up are exact, and all of them are when at least
    ``top_k`` reach T. T is ``floor``; with none yet, first the
    ``top_k``-th of the matches the estimates give (less a margin), and
    where fewer than ``top_k`` reach that, every position is scored."""
    n = x.shape[0]
    if not variants or n < min(v.frames for v in variants):
        return []
    if not exhaustive:
        estimates = _estimates(x, variants, estimator, cancel)
        threshold = floor
        if floor == -math.inf:
            guessed = _select(estimates, np.zeros(estimates.shape, dtype=np.int8), variants, top_k)
            threshold = guessed[-1][0] - 3 * _MARGIN if len(guessed) == top_k else -math.inf
        if threshold > -math.inf:
            best, shift_at, positions = _exact_at(x, variants, estimates, threshold, piece)
            found = _select(best, shift_at, variants, top_k, positions)
            if floor > -math.inf or (len(found) == top_k and found[-1][0] >= threshold):
                return found
    return _select(*_exhaustive_best(x, variants, piece), variants, top_k)


@fill
def match(query: Any, collection: Any, *, sr: float | None = None, top_k: int = 10, transpose: bool = True,
          tempo: tuple[float, float] | None = (0.8, 1.25), step: int = STEP,
          storage_options: dict[str, Any] | None = None, piece_frames: int | None = None,
          workers: int | None = None, client: Any = None) -> list[Match]:
    """Find the places in a feature store's files that match ``query``.

    A passage found across a collection, best first. The store's CENS (a ``chroma`` store's chroma is reduced to CENS on the
    fly) is taken at a matching rate, ``step`` frames at a time, and kept as
    the store's matching index (built by a batch run of cens or on first use, extended for files
    added since, rebuilt for entries that changed; read memory-mapped). The
    query's CENS, at each tempo tried and moved by each of the 12 semitone
    shifts, is scored at every position of every file: the mean inner
    product of its frames with the file's along the diagonal. A match is a
    local maximum over positions of the best score over tempi and shifts;
    a file's matches are taken best first, skipping those that overlap one
    taken, and the best ``top_k`` of all files are returned. Exact: the
    scores are whole numbers summed exactly, so the result is the same for
    any ``piece_frames``, thread count or cluster.

    The index is searched in partitions (consecutive files, up to about
    48 MB of the index each), on ``workers`` threads or as tasks of a Dask
    ``client``'s workers, which read their partitions from the store
    themselves; each gives its best ``top_k``, merged into the same best
    ``top_k`` as one search of all.

    Parameters
    ----------
    query : str, os.PathLike or array_like
        An audio file's path (read at the store's rate, when it has one), a
        signal (1-D, or channels x samples, mixed down) with ``sr``, or
        features of the store's kind (12 x frames, computed with its
        parameters).
    collection : str, os.PathLike or FeatureStore
        A store made by :func:`vexolin.batch.extract` with
        ``feature="cens"`` or ``"chroma"`` (12 pitch classes), as a path,
        URL or :class:`~vexolin.batch.FeatureStore`.
    sr : float or None
        The rate of a query given as an array; for a store with a rate, it
        must be that one (features may leave it None).
    top_k : int
        The most matches returned.
    transpose : bool
        Try the 12 shifts of the query (False: only 0).
    tempo : (float, float) or None
        The range of tempi of the passage relative to the query, within
        [0.25, 4]: every 6 % within it and both ends are tried (None: 1 only).
    step : int
        Store frames per matching frame (10: 4.3 a second at 22050 Hz and
        hop 512; a store that keeps each file's rate counts them at 22050
        Hz). Each step has its own index.
    storage_options : dict or None
        Options of the URL's fsspec filesystem (credentials, endpoint).
    piece_frames : int or None
        Positions scored at once (None: 4096); the results do not depend
        on it.
    workers : int or None
        Threads searching partitions at once (None: one per CPU). Not used
        with a client.
    client : distributed.Client, str or None
        A Dask client, or its scheduler's address, whose workers search
        the partitions; they reach the store at the same path or URL (a
        local store: a folder every worker mounts at the same path).

    Returns
    -------
    list of Match
        At most ``top_k``, by score (best first), then path and start.

    Raises
    ------
    ValueError
        The store does not hold chroma or CENS of 12 pitch classes; the
        query is silent, shorter than the CENS window (``win_len_smooth``
        frames of the store's hop, 41 for a chroma store) or, as an array,
        at another rate than the store's; a parameter is out of range; both
        ``workers`` and ``client`` are given.
    ConnectionError
        The Dask scheduler cannot be reached.

    Notes
    -----
    The query's frames are taken at positions ``j * step * tempo`` of its
    CENS, linearly interpolated, and scaled to length 1 again; so are the
    entries' at ``j * step`` (exactly every ``step``-th frame for files at
    the store's rate). Ties go to the smallest shift and the tempo nearest 1.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin, vexolin.batch
    >>> sr = 22050
    >>> rng = np.random.default_rng(1)
    >>> def piece(seed, seconds):
    ...     notes = np.random.default_rng(seed).integers(48, 72, size=seconds * 2)
    ...     t = np.arange(sr // 2) / sr
    ...     return np.concatenate([np.sin(2 * np.pi * 440 * 2 ** ((n - 69) / 12) * t) for n in notes])
    >>> music = tempfile.mkdtemp()
    >>> for name, seed in [("a.wav", 1), ("b.wav", 2)]:
    ...     soundfile.write(os.path.join(music, name), piece(seed, 20), sr)
    >>> out = os.path.join(tempfile.mkdtemp(), "cens.zarr")
    >>> _ = vexolin.batch.extract(music, out=out, feature="cens", progress=False)
    >>> y, _ = vexolin.load(os.path.join(music, "b.wav"), offset=6.0, duration=5.0)
    >>> best = vexolin.match(y, out, sr=sr, top_k=3)[0]
    >>> os.path.basename(best.path), round(best.start), round(best.end), best.shift, best.score > 0.95
    ('b.wav', 6, 11, 0, True)
    """
    if isinstance(top_k, bool) or not isinstance(top_k, int) or top_k < 1:
        raise ValueError(f"top_k must be a whole number >= 1, got {top_k!r}")
    if isinstance(step, bool) or not isinstance(step, int) or step < 1:
        raise ValueError(f"step must be a whole number of frames >= 1, got {step!r}")
    if piece_frames is not None and (isinstance(piece_frames, bool) or not isinstance(piece_frames, int)
                                     or piece_frames < 1):
        raise ValueError(f"piece_frames must be a whole number >= 1 or None, got {piece_frames!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a whole number of threads >= 1 or None, got {workers!r}")
    if client is not None and workers is not None:
        raise ValueError("workers sets the threads searching here; with a client, its workers search")
    tempi = _tempi(tempo)
    store = _store(collection, storage_options)
    params = store.params
    if params.get("feature") not in ("cens", "chroma") or params.get("n_chroma") != 12:
        raise ValueError(f"{store.path} holds {params.get('feature')} features"
                         + (f" of {params.get('n_chroma')} pitch classes" if params.get("n_chroma") else "")
                         + "; matching needs a store of chroma or CENS of 12 pitch classes "
                           "(vexolin batch --feature cens)")
    q, rate = _query_frames(query, sr, params)
    window = int(params.get("win_len_smooth", CHROMA_WIN_LEN_SMOOTH))
    if q.shape[0] < window:
        raise ValueError(f"the query is {q.shape[0]} frames long, shorter than the matching window of "
                         f"{window} frames (the CENS window, {window * params['hop_length'] / rate:.2f} s)")
    if not q.any():
        raise ValueError("the query is silent: its features are all 0, so it matches nothing")
    index = index_of(store._store, params, step)
    grid_step = rate * step / reference_sr(params)
    variants = _variants(q, grid_step, tempi, _SHIFTS if transpose else (0,))
    if client is not None:
        return _on_cluster(client, index.rows, index.files, index.rate, variants, top_k, piece_frames)
    threads = workers or os.cpu_count() or 1
    groups = _partitions(index.files, threads)
    if threads == 1 or len(groups) == 1:
        found = [search_partition(g, index.rows, index.rate, variants, top_k, piece_frames) for g in groups]
    else:
        # Ctrl-C, in the main thread's wait, raises the token the threads' estimates watch.
        found = map_on_threads(threads, lambda g, token: search_partition(g, index.rows, index.rate, variants, top_k,
                                                                          piece_frames, cancel=token), groups)
    return _best([m for part in found for m in part], top_k)


def _order(m: Match) -> tuple[float, str, float]:
    # A total order: matches in one file never start at the same place.
    return -m.score, m.path, m.start


def _best(matches: list[Match], top_k: int) -> list[Match]:
    return sorted(matches, key=_order)[:top_k]


def _partitions(files: list[IndexedFile], threads: int, least: int = 1) -> list[list[IndexedFile]]:
    """Partitions small enough that every thread gets several, where there
    are that many files, but of ``least`` rows where there are that many,
    and none above ``_PARTITION_ROWS``."""
    total = sum(f.length for f in files)
    return partitions(files, max(1, min(_PARTITION_ROWS, max(least, -(-total // (_TASKS_PER_THREAD * threads))))))


def search_partition(files: list[IndexedFile], rows: Rows, rate: float, variants: list[_Variant], top_k: int,
                     piece: int | None, exhaustive: bool = False, cancel: _native.Cancel | None = None) -> list[Match]:
    """The best ``top_k`` matches among ``files``, their rows read a run at a
    time. Once ``top_k`` exact matches are kept, a file's matches below the
    ``top_k``-th of them can be left inexact: they are not returned.
    ``cancel`` stops the estimates of a search on a thread (Ctrl-C reaches
    the main thread's own)."""
    kept: list[Match] = []
    floor = -math.inf
    estimator = _estimator(variants) if variants and not exhaustive else None
    for run in runs(files):
        first, last = run[0], run[-1]
        block = rows.read(first.part, first.offset, last.offset + last.length)
        for f in run:
            x = block[f.offset - first.offset:f.offset - first.offset + f.length]
            kept += [Match(f.source, start / rate, (start + frames) / rate, shift, tempo, score)
                     for score, start, frames, shift, tempo in _file_matches(x, variants, top_k, piece, floor,
                                                                             exhaustive, estimator, cancel)]
            if len(kept) > 4 * top_k:  # memory stays bounded whatever the number of files
                kept = _best(kept, top_k)
            if len(kept) >= top_k:
                # Above the floor, every kept match is exact: so are the top_k
                # from this one up, and no match below it can be returned.
                floor = max(floor, _best(kept, top_k)[-1].score)
        del block
    return _best(kept, top_k)


def _on_cluster(scheduler: Any, rows: Rows, files: list[IndexedFile], rate: float, variants: list[_Variant],
                top_k: int, piece: int | None) -> list[Match]:
    """Each partition a task on the cluster, reading its rows itself; only
    the query's variants go out and at most ``top_k`` matches a task come back."""
    from vexolin.batch._dask import check_workers, connect, quiet_dask_logs

    client, own = connect(scheduler)
    try:
        with quiet_dask_logs():
            check_workers(client, [str(rows.store)])
            threads = max(1, int(sum(client.nthreads().values())))
            groups = _partitions(files, threads, _TASK_ROWS)
            # Sent to each worker once, not with every task.
            (shared,) = client.scatter([variants], broadcast=True, hash=False)
            futures = client.map(search_partition, groups, rows=rows, rate=rate, variants=shared,
                                 top_k=top_k, piece=piece, pure=False, retries=1)
            found = client.gather(futures)
            del futures, shared
    finally:
        if own:
            with contextlib.suppress(Exception):
                client.close()
    return _best([m for part in found for m in part], top_k)
