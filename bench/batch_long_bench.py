"""Peak memory of batch extraction on a long file: a 2-hour 22.05 kHz mono
16-bit WAV (about 300 MiB) into a store, chroma with its tuning estimated.

- a Dask worker process (a `distributed.LocalCluster` of one worker, one
  thread): its peak RSS (VmHWM) after the run, beside its peak before it
  (target: at most 300 MiB);
- `vexolin batch` on the thread pool, in a fresh interpreter;
- for scale, the same in a fresh interpreter with the file read whole
  instead of streamed.

Usage: bench/batch_long_bench.py [--hours H] [--workdir DIR]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

import soundfile

from stream_bench import SR, write_wav

ROOT = Path(__file__).resolve().parent.parent


def peak_mib() -> float:
    with open("/proc/self/status") as f:
        line = next(line for line in f if line.startswith("VmHWM:"))
    return int(line.split()[1]) / 1024


# A run in a fresh interpreter, reporting its peak RSS as it ends; with
# "whole", long files are read whole instead of streamed.
_LAUNCHER = """
import sys
from vexolin import batch
from vexolin.batch import _work
if sys.argv[1] == "whole":
    _work.STREAM_BYTES = 1 << 62
summary = batch.extract([sys.argv[2]], out=sys.argv[3], workers=1, progress=False)
assert summary.computed == 1, summary
with open("/proc/self/status") as f:
    print(next(line for line in f if line.startswith("VmHWM:")).split()[1], file=sys.stderr)
"""


def fresh_run(how: str, path: Path, out: Path) -> tuple[float, float]:
    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    run = subprocess.run([sys.executable, "-c", _LAUNCHER, how, str(path), str(out)],
                         stderr=subprocess.PIPE, text=True, check=False)
    if run.returncode != 0:
        raise RuntimeError(f"the {how} run failed: {run.stderr}")
    return int(run.stderr.split()[-1]) / 1024, time.perf_counter() - started


def on_a_worker(path: Path, out: Path) -> tuple[float, float, float]:
    from distributed import Client, LocalCluster

    from vexolin import batch

    shutil.rmtree(out, ignore_errors=True)
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        client.submit(sum, [1]).result()  # the worker has run a task
        [before] = client.run(peak_mib).values()
        started = time.perf_counter()
        summary = batch.extract([str(path)], out=out, client=client, progress=False)
        wall = time.perf_counter() - started
        assert summary.computed == 1, summary
        [after] = client.run(peak_mib).values()
    return before, after, wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hours", type=float, default=2.0)
    parser.add_argument("--workdir", type=Path, default=ROOT / "build" / "bench-batch-long")
    args = parser.parse_args()
    args.workdir.mkdir(parents=True, exist_ok=True)
    path = args.workdir / f"{args.hours:g}h.wav"
    if not path.exists() or soundfile.info(path).duration != args.hours * 3600:
        write_wav(path, args.hours * 3600)
    size = path.stat().st_size / (1 << 20)
    print(f"batch on one long file: {args.hours:g} h at {SR} Hz mono, {size:.0f} MiB of WAV, chroma")
    before, after, wall = on_a_worker(path, args.workdir / "worker.zarr")
    print(f"  Dask worker process: peak RSS {after:.0f} MiB after the run ({before:.0f} MiB idle), "
          f"{wall:.1f} s (target <= 300 MiB: {'met' if after <= 300 else 'NOT met'})")
    streamed, wall = fresh_run("streamed", path, args.workdir / "pool.zarr")
    print(f"  thread pool, fresh interpreter: peak RSS {streamed:.0f} MiB, {wall:.1f} s")
    whole, wall = fresh_run("whole", path, args.workdir / "whole.zarr")
    print(f"  for scale, the file read whole instead: peak RSS {whole:.0f} MiB, {wall:.1f} s")


if __name__ == "__main__":
    main()
