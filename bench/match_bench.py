"""vexolin.match at scale: recall on versions of pieces rendered here, query
time per hour of collection on one core, peak memory, and a two-process
LocalCluster. Results in bench/match_results.json.

(a) Recall: chord progressions with harmonics, synthesised here, make the
collection; each piece has versions (another timbre, transposed by
resampling, tempo -20 % and +20 % with the pitch kept, detuned by 30
cents), and 20-s passages cut from the versions are the queries. Right:
the best match is the original piece, starting within 3 s of the passage's
place in it.

(b) Speed: the search of one 20-s query over an index of real features (the
collection's, tiled with random transpositions to ``--real-hours``) and
over one of synthetic features (``--synthetic-hours``), made by a first-
order autoregressive model of CENS frames fitted on the collection,
written as an index file directly and memory-mapped; all 12 shifts and the
default tempo range (0.8 to 1.25). One thread, BLAS pinned to one.

(c) The same search on a LocalCluster of two one-thread processes, over
real features tiled to ``--cluster-hours`` (its tasks, of 17 hours or
more, outweigh their overhead), beside one core on the same index.

    .venv/bin/python bench/match_bench.py [--synthetic-hours 1000] [--real-hours 10] [--cluster-hours 100]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import soxr
from threadpoolctl import threadpool_limits

import vexolin
import vexolin.batch
from vexolin import _match
from vexolin.batch import _match_index
from vexolin.batch.store import LocalStore

SR = 22050
HERE = Path(__file__).resolve().parent
PIECE_SECONDS = 90
QUERY_SECONDS = 20
# Timbres: harmonic weights and a decay per chord (seconds).
TIMBRES = {"organ": ((1, 0.5, 0.33, 0.25), 10.0), "bright": ((1, 0.8, 0.7, 0.6, 0.5, 0.4), 0.6),
           "mellow": ((1, 0.2, 0.05), 1.2)}


def progression(seed: int) -> list[tuple[list[int], float]]:
    """Chords (MIDI notes) and their lengths in beats: diatonic triads and sevenths of a key."""
    rng = np.random.default_rng(seed)
    key = int(rng.integers(0, 12))
    scale = (0, 2, 4, 5, 7, 9, 11)
    chords = []
    for _ in range(200):
        degree = int(rng.integers(0, 7))
        notes = [48 + key + scale[(degree + k) % 7] + 12 * ((degree + k) // 7) for k in (0, 2, 4)]
        if rng.random() < 0.3:
            notes.append(48 + key + scale[(degree + 6) % 7] + 12 * ((degree + 6) // 7))
        chords.append((notes, float(rng.choice([0.5, 1.0, 1.0, 2.0]))))
    return chords


def render(seed: int, seconds: float, timbre: str = "organ", beat: float = 0.5, cents: float = 0.0) -> np.ndarray:
    weights, decay = TIMBRES[timbre]
    out, total = [], 0.0
    for notes, beats in progression(seed):
        n = int(SR * beats * beat)
        t = np.arange(n) / SR
        envelope = np.exp(-t / decay) * np.minimum(1.0, np.minimum(t, t[::-1]) / 0.01)
        f = [440 * 2 ** ((m - 69 + cents / 100) / 12) for m in notes]
        out.append(envelope * sum(w * np.sin(2 * np.pi * fn * (h + 1) * t) for fn in f for h, w in enumerate(weights)))
        total += beats * beat
        if total >= seconds:
            break
    y = np.concatenate(out)
    return (0.3 * y / np.abs(y).max()).astype(np.float32)


VERSIONS = {
    # name: (render kwargs, resampling semitones, tempo of the version relative to the original)
    "timbre": ({"timbre": "bright"}, 0, 1.0),
    "transposed +3": ({"timbre": "mellow"}, 3, 2 ** (3 / 12)),
    "transposed -2": ({}, -2, 2 ** (-2 / 12)),
    "tempo -20 %": ({"beat": 0.5 / 0.8}, 0, 0.8),
    "tempo +20 %": ({"beat": 0.5 / 1.2, "timbre": "bright"}, 0, 1.2),
    "detuned +30 c": ({"cents": 30.0}, 0, 1.0),
}


def collection(pieces: int, workdir: Path) -> Path:
    music = workdir / "music"
    music.mkdir()
    for k in range(pieces):
        soundfile.write(music / f"piece{k:02d}.wav", render(k, PIECE_SECONDS), SR)
    store = workdir / "cens.zarr"
    vexolin.batch.extract(str(music), out=str(store), feature="cens", progress=False)
    return store


def recall(pieces: int, store: Path) -> dict:
    rng = np.random.default_rng(0)
    by_version: dict[str, dict] = {}
    for name, (kwargs, semitones, tempo) in VERSIONS.items():
        right, failures = 0, []
        for k in range(pieces):
            y = render(k, PIECE_SECONDS / min(1.0, tempo) + 5, **kwargs)
            if semitones:
                y = soxr.resample(y, SR, SR / 2 ** (semitones / 12))  # played at SR: up and faster
            start = float(rng.uniform(5, PIECE_SECONDS * 0.75 / max(1.0, 1 / tempo) - QUERY_SECONDS))
            query = y[int(start * SR):int((start + QUERY_SECONDS) * SR)]
            expected = start * tempo  # the passage's place in the original
            best = vexolin.match(query, store, sr=SR, top_k=1, workers=1)[0]
            ok = os.path.basename(best.path) == f"piece{k:02d}.wav" and abs(best.start - expected) <= 3.0
            right += ok
            if not ok:
                failures.append({"piece": k, "expected_start": round(expected, 2),
                                 "found": os.path.basename(best.path), "start": round(best.start, 2),
                                 "shift": best.shift, "tempo": round(best.tempo, 3), "score": round(best.score, 3)})
        by_version[name] = {"recall": right / pieces, "failures": failures}
    total = sum(v["recall"] for v in by_version.values()) / len(by_version)
    return {"pieces": pieces, "piece_seconds": PIECE_SECONDS, "query_seconds": QUERY_SECONDS,
            "top1_recall": round(total, 3), "by_version": by_version}


def real_rows(store: Path) -> tuple[np.ndarray, list[np.ndarray], float]:
    index = _match_index.index_of(LocalStore(str(store)), vexolin.batch.open(store).params, _match.STEP)
    rows = [np.asarray(index.rows.read(f.part, f.offset, f.offset + f.length)) for f in index.files]
    return np.concatenate(rows), rows, index.rate


def fit_ar(rows: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """x_t - mean = A (x_{t-1} - mean) + e, least squares over every file; e's covariance."""
    x = [r.astype(np.float64) / _match_index.SCALE for r in rows]
    mean = np.concatenate(x).mean(axis=0)
    before = np.concatenate([r[:-1] - mean for r in x])
    after = np.concatenate([r[1:] - mean for r in x])
    a, *_ = np.linalg.lstsq(before, after, rcond=None)
    residual = after - before @ a
    return mean, a, np.cov(residual.T)


def synthesise(path: Path, hours: float, rate: float, model, seed: int = 1) -> list[_match_index.IndexedFile]:
    """Hour-long files of AR frames, as many streams at once, written as an index part."""
    mean, a, cov = model
    rng = np.random.default_rng(seed)
    chol = np.linalg.cholesky(cov + 1e-9 * np.eye(12))
    per_file = int(round(3600 * rate))
    files_count = int(np.ceil(hours))
    out = np.memmap(path, dtype="<i2", mode="w+", shape=(files_count * per_file, 12))
    streams = 100
    for first in range(0, files_count, streams):
        n = min(streams, files_count - first)
        state = rng.standard_normal((n, 12)) @ chol.T
        block = np.empty((n, per_file, 12), dtype=np.int16)
        for t in range(per_file):
            state = state @ a + rng.standard_normal((n, 12)) @ chol.T
            frame = np.maximum(state + mean, 0.0)
            block[:, t] = _match_index.quantised(_match_index.unit_rows(frame))
        out[first * per_file:(first + n) * per_file] = block.reshape(-1, 12)
    out.flush()
    del out
    return [_match_index.IndexedFile(f"synthetic/{k:05d}", "", k * per_file, per_file, path.name)
            for k in range(files_count)]


def tiled(path: Path, rows: np.ndarray, hours: float, rate: float, seed: int = 2) -> list[_match_index.IndexedFile]:
    """The real rows, repeated with a random transposition each time, to ``hours``."""
    rng = np.random.default_rng(seed)
    wanted = int(hours * 3600 * rate)
    out = np.memmap(path, dtype="<i2", mode="w+", shape=(wanted, 12))
    files, at = [], 0
    while at < wanted:
        n = min(rows.shape[0], wanted - at)
        out[at:at + n] = np.roll(rows[:n], int(rng.integers(12)), axis=1)
        files.append(_match_index.IndexedFile(f"real/{len(files):04d}", "", at, n, path.name))
        at += n
    out.flush()
    del out
    return files


def timed_search(folder: Path, files, rate: float, variants, partition_rows: int | None = None) -> dict:
    rows = _match_index.Rows(LocalStore(str(folder.parent)))
    groups = _match_index.partitions(files, partition_rows or _match._PARTITION_ROWS)
    start = time.perf_counter()
    found = _match._best([m for g in groups for m in _match.search_partition(g, rows, rate, variants, 10, None)], 10)
    seconds = time.perf_counter() - start
    hours = sum(f.length for f in files) / rate / 3600
    return {"hours": round(hours, 2), "index_mb": round(sum(f.length for f in files) * 24 / 1e6, 1),
            "seconds": round(seconds, 3), "seconds_per_hour": round(seconds / hours, 4),
            "best": [found[0].path, round(found[0].start, 2), found[0].shift, round(found[0].tempo, 3)]}


def query_variants(store: Path, rate: float):
    params = vexolin.batch.open(store).params
    y = render(3, 40, timbre="bright")[10 * SR:(10 + QUERY_SECONDS) * SR]
    q, qrate = _match._query_frames(y, SR, params)
    return _match._variants(q, qrate * _match.STEP / _match_index.reference_sr(params),
                            _match._tempi((0.8, 1.25)), _match._SHIFTS)


def libfmp_side_by_side(rows: np.ndarray, rate: float, variants, model, work: Path) -> dict:
    """One hour as one file, searched by us and by libfmp's diagonal
    matching (12 rolled queries, the same tempi): the real features once
    (copies, transposed or not, would make ties), then synthetic ones."""
    hour = int(3600 * rate)
    folder = work / ".match"
    synthesise(folder / "filler.bin", 1, rate, model, seed=3)
    filler = np.fromfile(folder / "filler.bin", dtype="<i2").reshape(-1, 12)
    database = np.concatenate([rows, filler])[:hour]
    database.astype("<i2").tofile(folder / "hour.bin")
    one = [_match_index.IndexedFile("hour", "", 0, hour, "hour.bin")]
    ours = timed_search(folder, one, rate, variants)
    found = _match.search_partition(one, _match_index.Rows(LocalStore(str(work))), rate, variants, 1, None)[0]
    query = variants[0].lags[:, :, variants[0].shifts.index(0)].T / _match_index.SCALE  # tempo 1, no shift
    features = work / "libfmp.npz"
    np.savez(features, query=query, database=database.T.astype(np.float64) / _match_index.SCALE,
             tempi=np.array([1 / v.tempo for v in variants]), shifts=np.array(_match._SHIFTS))
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1",
               NUMBA_NUM_THREADS="1")
    out = subprocess.run([str(HERE / ".libfmp-venv" / "bin" / "python"), str(HERE / "match_libfmp_peer.py"),
                          str(features)], capture_output=True, text=True, check=True, env=env)
    theirs = json.loads(out.stdout.strip().splitlines()[-1])
    start, end = round(found.start * rate), round(found.end * rate)
    return {"hours": ours["hours"], "ours_seconds": ours["seconds"], "libfmp_seconds": round(theirs["seconds"], 3),
            "speedup": round(theirs["seconds"] / ours["seconds"], 1),
            "ours_best": {"start_frame": start, "end_frame": end, "shift": found.shift,
                          "tempo": round(found.tempo, 3), "score": round(found.score, 4)},
            "libfmp_best": {"frame": theirs["frame"], "shift": theirs["shift"], "cost": round(theirs["cost"], 4)},
            # Its matching function is indexed by the match's first frame here.
            "same_place_and_shift": abs(theirs["frame"] - start) <= 2 and theirs["shift"] == found.shift,
            "same_score": abs(1 - theirs["cost"] - found.score) < 1e-3}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--pieces", type=int, default=10)
    parser.add_argument("--real-hours", type=float, default=10.0)
    parser.add_argument("--synthetic-hours", type=float, default=1000.0)
    parser.add_argument("--cluster-hours", type=float, default=100.0)
    parser.add_argument("--no-cluster", action="store_true")
    parser.add_argument("--only", default="recall,real,synthetic,cluster,libfmp",
                        help="parts run, their results merged into bench/match_results.json")
    args = parser.parse_args()
    parts = set(args.only.split(","))
    saved = HERE / "match_results.json"
    results: dict = json.loads(saved.read_text()) if saved.exists() else {}
    results.setdefault("commands", {})[args.only] = " ".join(["bench/match_bench.py", *sys.argv[1:]])
    work = Path(tempfile.mkdtemp(prefix="vexolin-match-bench-"))
    try:
        with threadpool_limits(1):
            store = collection(args.pieces, work)
            if "recall" in parts:
                results["recall"] = recall(args.pieces, store)
                print(json.dumps(results["recall"], indent=1), flush=True)
            rows, per_file, rate = real_rows(store)
            variants = query_variants(store, rate)
            results["query"] = {"seconds": QUERY_SECONDS, "tempi": len(variants), "shifts": 12,
                                "frames_at_tempo_1": variants[0].frames, "index_rate_hz": round(rate, 3)}
            folder = work / ".match"
            folder.mkdir()
            real = tiled(folder / "real.bin", rows, args.real_hours, rate)
            if "real" in parts:
                results["real"] = timed_search(folder, real, rate, variants)
                print("real", results["real"], flush=True)
            if "synthetic" in parts:
                model = fit_ar(per_file)
                synthetic = synthesise(folder / "synthetic.bin", args.synthetic_hours, rate, model)
                results["synthetic"] = timed_search(folder, synthetic, rate, variants)
                results["synthetic"]["peak_rss_mb"] = round(
                    resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 1)
                print("synthetic", results["synthetic"], flush=True)
                (folder / "synthetic.bin").unlink()
            if "libfmp" in parts:
                if (HERE / ".libfmp-venv" / "bin" / "python").exists():
                    results["libfmp"] = libfmp_side_by_side(rows, rate, variants, fit_ar(per_file), work)
                    print("libfmp", results["libfmp"], flush=True)
                else:
                    print("libfmp: no bench/.libfmp-venv (make bench-match makes it)", flush=True)
        if "cluster" in parts and not args.no_cluster:
            from distributed import Client, LocalCluster

            # An index large enough for the tasks' work to outweigh their overhead.
            many = tiled(folder / "cluster.bin", rows, args.cluster_hours, rate, seed=4)
            rows_reader = _match_index.Rows(LocalStore(str(work)))
            with threadpool_limits(1):
                one_core = timed_search(folder, many, rate, variants)
                alone = _match._best([m for g in _match._partitions(many, 1)
                                      for m in _match.search_partition(g, rows_reader, rate, variants, 10, None)], 10)
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address=":0") as cluster, Client(cluster) as client:
                client.run(lambda: bool(__import__("threadpoolctl").threadpool_limits(1)))
                for _ in range(2):  # the first warms the workers up (imports, page cache)
                    start = time.perf_counter()
                    found = _match._on_cluster(client, rows_reader, many, rate, variants, 10, None)
                    seconds = time.perf_counter() - start
            results["cluster_2_processes"] = {"hours": one_core["hours"], "seconds": round(seconds, 3),
                                              "one_core_seconds": one_core["seconds"],
                                              "speedup_vs_one_core": round(one_core["seconds"] / seconds, 2),
                                              # Not bit-identical by chance: the best ten, compared whole.
                                              "same_top10": found == alone}
            print("cluster", results["cluster_2_processes"], flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    saved.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
