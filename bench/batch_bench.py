"""Throughput of batch extraction: hours of audio per second over a
collection of synthetic 30 s files, three ways, measured in one run.

- serial loop: what a user writes today, one file after another
  (`vexolin.load`, `vexolin.chroma_cqt`, `numpy.save`);
- `vexolin.batch.extract` on one thread: the same, into the Zarr store;
- embedded pool: `vexolin.batch.extract` on a thread per core;
- cluster: the same on a `distributed.LocalCluster` of 2 worker processes
  (one thread each), started before the clock starts.

Every way writes every file's chroma; the two batch ways write a Zarr store
and its table. "Overhead per file" is the wall time per file beyond the
transform's own: wall time / files - the transform's time per file when it
has the whole machine and the signals are already in memory (reading,
writing and scheduling, less what overlaps). Each way runs twice
and the faster run counts; a resumed run (every file already done) is timed
too, and so are empty tasks on the cluster and the CPU time the client and
scheduler (one process here) spend per task. Writes a table and bench/batch_results.json.

Then two targets, each a ratio of ways timed in this run:
- short files: 2,000 files of 1 s on the same two-process cluster, tasks of
  many files (the default ``task_seconds``) against one task per file (at
  least 5 times the files per second) and against the thread pool (within
  1.5 times its time);
- object store: the 30 s files from a local S3 server (moto, in a process
  of its own, on loopback) into a store on it, against local disk into a local
  store, both on the thread pool (at least 0.5 times local disk's speed).

Usage: bench/batch_bench.py [--files N] [--short-files N] [--workdir DIR] [--json PATH]
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import shutil
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import soundfile  # noqa: E402

import vexolin  # noqa: E402
from vexolin import batch  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SR = 22050
SECONDS = 30.0
CORES = os.cpu_count() or 1


def make_files(folder: Path, n: int, seconds: float = SECONDS) -> list[str]:
    """n files of 30 s: a chord that changes every 2 s over a little noise (kept between runs)."""
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(0)
    t = np.arange(int(seconds * SR)) / SR
    paths = []
    for i in range(n):
        path = folder / f"track{i:04d}.wav"
        paths.append(str(path))
        if path.exists():
            continue
        roots = 110.0 * 2 ** (rng.integers(0, 12, size=int(seconds // 2) + 1) / 12)
        root = roots[(t // 2).astype(int)]
        y = sum(np.sin(2 * np.pi * np.cumsum(root * 2 ** (k / 12)) / SR) for k in (0, 4, 7)) / 4
        y += 0.01 * rng.standard_normal(t.size)
        soundfile.write(path, y.astype(np.float32), SR, subtype="PCM_16")
    return paths


def timed(run) -> float:
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def transform_per_file(paths: list[str]) -> float:
    """Seconds per file of the chroma alone, on signals already in memory,
    with the whole machine: the faster of one call after another (the
    engine's own threads) and a thread per core. The ceiling of any way."""
    from concurrent.futures import ThreadPoolExecutor

    signals = [vexolin.load(p)[0] for p in paths[:40]]
    vexolin.chroma_cqt(signals[0], sr=SR)
    one_by_one = timed(lambda: [vexolin.chroma_cqt(y, sr=SR) for y in signals])
    with ThreadPoolExecutor(CORES) as pool:
        side_by_side = timed(lambda: list(pool.map(lambda y: vexolin.chroma_cqt(y, sr=SR), signals)))
    return min(one_by_one, side_by_side) / len(signals)


def serial_loop(paths: list[str], out: Path) -> None:
    out.mkdir(parents=True)
    for i, path in enumerate(paths):
        y, sr = vexolin.load(path)
        np.save(out / f"{i}.npy", vexolin.chroma_cqt(y, sr=sr))


# Every run writes a folder of its own under this one, removed at the end and
# never while timing: on a filesystem without a journal (ext4 on this VM),
# creating files within seconds of deleting thousands costs several times as
# much, and a user's run does not start by deleting the last run's store.
_outputs = [ROOT / "build" / "bench-batch" / "outputs"]
_numbers = itertools.count()


def fresh(name: str) -> Path:
    """A folder for one run's output that no run has used."""
    return _outputs[0] / f"{next(_numbers):03d}-{name}"


def clear_outputs(settle: bool) -> None:
    """Remove every run's output; with ``settle``, let the freed inodes age
    before any timing."""
    if _outputs[0].exists():
        shutil.rmtree(_outputs[0])
        if settle:
            time.sleep(12)


def best_of_two(run, name: str) -> tuple[float, Path]:
    """The faster of two runs, each into a fresh folder; and the second's folder."""
    times = []
    for _ in range(2):
        out = fresh(name)
        times.append(timed(lambda: run(out)))
    return min(times), out


def short_files(paths: list[str], client) -> dict:
    """Files per second over many 1 s files: the thread pool, and the cluster
    with one task per file and with tasks of many files."""
    def rate(run, name: str) -> float:
        return len(paths) / best_of_two(run, name)[0]

    pool = rate(lambda out: batch.extract(paths, out=out, workers=CORES, progress=False), "short-pool.zarr")
    per_file = rate(lambda out: batch.extract(paths, out=out, client=client, task_seconds=0, progress=False),
                    "short-one.zarr")
    grouped = rate(lambda out: batch.extract(paths, out=out, client=client, progress=False), "short-grouped.zarr")
    cpu_before = time.process_time()
    batch.extract(paths, out=fresh("short-grouped.zarr"), client=client, progress=False)
    cpu = (time.process_time() - cpu_before) / len(paths)
    return {"files": len(paths), "files_per_s": {"thread pool": round(pool, 1), "cluster, a task per file":
                                                  round(per_file, 1), "cluster, tasks of many files": round(grouped, 1)},
            "grouped_over_per_file": round(grouped / per_file, 2), "pool_over_grouped": round(pool / grouped, 2),
            "client_and_scheduler_cpu_ms_per_file_grouped": round(1e3 * cpu, 3)}


def object_store(paths: list[str]) -> dict:
    """The 30 s files from a local S3 server into a store on it, against
    local disk, both on a thread per core. The server runs in a process of
    its own, as a real one is elsewhere (in this process it would share the
    interpreter lock with the run)."""
    import socket
    import subprocess

    import boto3

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([os.path.join(os.path.dirname(sys.executable), "moto_server"), "-H", "127.0.0.1",
                               "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        endpoint = f"http://127.0.0.1:{port}"
        options = {"key": "bench", "secret": "bench",
                   "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}}
        s3 = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                          aws_access_key_id="bench", aws_secret_access_key="bench")
        s3.create_bucket(Bucket="bench")
        for path in paths:
            s3.upload_file(path, "bench", f"files/{os.path.basename(path)}")
        urls = [f"s3://bench/files/{os.path.basename(path)}" for path in paths]
        times = []
        for i in range(2):
            times.append(timed(lambda: batch.extract(urls, out=f"s3://bench/run{i}.zarr", workers=CORES,
                                                     progress=False, storage_options=options)))
        s3_wall = min(times)
    finally:
        server.terminate()
        server.wait()
    local_wall, _ = best_of_two(lambda out: batch.extract(paths, out=out, workers=CORES, progress=False),
                                "local-again.zarr")
    return {"files": len(paths), "wall_s": {"local disk": round(local_wall, 3), "local S3": round(s3_wall, 3)},
            "s3_over_local_speed": round(local_wall / s3_wall, 2)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--short-files", type=int, default=2000)
    parser.add_argument("--workdir", type=Path, default=ROOT / "build" / "bench-batch")
    parser.add_argument("--json", type=Path, default=ROOT / "bench" / "batch_results.json")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    print(f"batch bench: {args.files} files of {SECONDS:.0f} s at {SR} Hz, {CORES} cores", file=sys.stderr)
    paths = make_files(args.workdir / "files", args.files)
    short_paths = make_files(args.workdir / "short", args.short_files, 1.0)
    _outputs[0] = args.workdir / "outputs"
    clear_outputs(settle=True)
    hours = len(paths) * SECONDS / 3600
    transform = transform_per_file(paths)
    rows = []

    def add(way: str, workers: int, wall: float) -> None:
        rows.append({"way": way, "workers": workers, "wall_s": round(wall, 3),
                     "audio_hours_per_s": round(hours / wall, 3), "ms_per_file": round(1e3 * wall / len(paths), 2),
                     "overhead_ms_per_file": round(1e3 * (wall / len(paths) - transform), 2)})

    add("serial loop (engine threads)", 1, best_of_two(lambda out: serial_loop(paths, out), "serial")[0])
    add("batch.extract, 1 thread", 1, best_of_two(
        lambda out: batch.extract(paths, out=out, workers=1, progress=False), "one.zarr")[0])
    wall, store = best_of_two(lambda out: batch.extract(paths, out=out, workers=CORES, progress=False), "pool.zarr")
    add("embedded pool", CORES, wall)
    resumed = timed(lambda: batch.extract(paths, out=store, workers=CORES, progress=False))
    started = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        cluster_start = time.perf_counter() - started
        add("LocalCluster, 2 processes", 2, best_of_two(
            lambda out: batch.extract(paths, out=out, client=client, progress=False), "cluster.zarr")[0])
        # The scheduler of a LocalCluster lives in this process, beside the client.
        cluster_store = fresh("cluster.zarr")
        cpu_before = time.process_time()
        batch.extract(paths, out=cluster_store, client=client, progress=False)
        scheduler_cpu = (time.process_time() - cpu_before) / len(paths)
        noop = timed(lambda: client.gather(client.map(int, range(len(paths)), pure=False)))
        resumed_cluster = timed(lambda: batch.extract(paths, out=cluster_store, client=client,
                                                      progress=False))
        short = short_files(short_paths, client)
    stored = object_store(paths)
    clear_outputs(settle=False)

    result = {"files": len(paths), "seconds_per_file": SECONDS, "sr": SR, "cores": CORES,
              "transform_ms_per_file": round(1e3 * transform, 2), "ways": rows,
              "resumed_ms_per_file": {"embedded pool": round(1e3 * resumed / len(paths), 3),
                                      "LocalCluster, 2 processes": round(1e3 * resumed_cluster / len(paths), 3)},
              "cluster_start_s": round(cluster_start, 2),
              "cluster_noop_task_ms": round(1e3 * noop / len(paths), 3),
              "client_and_scheduler_cpu_ms_per_task": round(1e3 * scheduler_cpu, 2),
              "short_files": short, "object_store": stored,
              "date": time.strftime("%Y-%m-%d %H:%M")}
    args.json.write_text(json.dumps(result, indent=2) + "\n")
    print(f"transform alone, in memory, all cores: {result['transform_ms_per_file']} ms per file")
    print("| way | workers | wall | audio-hours / s | per file | overhead per file |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['way']} | {r['workers']} | {r['wall_s']:.2f} s | {r['audio_hours_per_s']:.2f} | "
              f"{r['ms_per_file']:.1f} ms | {r['overhead_ms_per_file']:.1f} ms |")
    print(f"resumed run, all {len(paths)} files already done: "
          + ", ".join(f"{k} {v} ms per file" for k, v in result["resumed_ms_per_file"].items())
          + f"; cluster start {cluster_start:.2f} s; an empty task on the cluster "
          f"{result['cluster_noop_task_ms']} ms per task; client and scheduler CPU "
          f"{result['client_and_scheduler_cpu_ms_per_task']} ms per task")
    rates = short["files_per_s"]
    print(f"{short['files']} files of 1 s, files per second: " + ", ".join(f"{k} {v}" for k, v in rates.items())
          + f"; client and scheduler CPU {short['client_and_scheduler_cpu_ms_per_file_grouped']} ms per file "
          "with tasks of many files")
    print(f"target: tasks of many files at least 5x one task per file: {short['grouped_over_per_file']}x "
          f"({'met' if short['grouped_over_per_file'] >= 5 else 'NOT met'})")
    print(f"target: thread pool within 1.5x of the cluster's tasks of many files: {short['pool_over_grouped']}x "
          f"({'met' if short['pool_over_grouped'] <= 1.5 else 'NOT met'})")
    print(f"{stored['files']} files of {SECONDS:.0f} s, thread pool: local disk {stored['wall_s']['local disk']:.2f} s, "
          f"local S3 {stored['wall_s']['local S3']:.2f} s")
    print(f"target: local S3 at least 0.5x local disk's speed: {stored['s3_over_local_speed']}x "
          f"({'met' if stored['s3_over_local_speed'] >= 0.5 else 'NOT met'})")


if __name__ == "__main__":
    main()
