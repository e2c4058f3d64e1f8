"""What a resumed run pays to make sure the entries it skips are whole:
every chunk of every entry to be skipped is read and decoded (its zstd
checksum checked), as a flipped byte keeps a chunk's size.

A store of N short files (1 s each, default 2,000) is made once; then a
resumed run (every file already done) is timed, best of three, beside the
check alone over the same entries, on a local store and on a store on a
local S3 server (moto, in a process of its own), where the check's chunks
come in batched requests.

Usage: bench/store_check_bench.py [--files N] [--workdir DIR]
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import soundfile

from vexolin import batch
from vexolin.batch import store as stores

ROOT = Path(__file__).resolve().parent.parent
SR = 22050


def make_files(folder: Path, n: int) -> list[str]:
    folder.mkdir(parents=True, exist_ok=True)
    t = np.arange(SR) / SR
    paths = []
    for i in range(n):
        path = folder / f"f{i:05d}.wav"
        if not path.exists():
            soundfile.write(path, 0.3 * np.sin(2 * np.pi * 110.0 * 2 ** (i % 36 / 12) * t), SR)
        paths.append(str(path))
    return paths


def best_of_three(run) -> float:
    times = []
    for _ in range(3):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def measure(paths: list[str], out: str, options: dict | None) -> dict[str, float]:
    batch.extract(paths, out=out, progress=False, storage_options=options)
    resumed = best_of_three(lambda: batch.extract(paths, out=out, progress=False, storage_options=options))
    store = stores.open_store(out, options)
    scan = store.scan()
    check = best_of_three(lambda: stores.broken_entries(store, scan, list(scan.whole)))
    return {"resumed_s": resumed, "check_s": check, "check_ms_per_entry": 1e3 * check / len(paths)}


def moto_server() -> tuple[subprocess.Popen[bytes], dict]:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    endpoint = f"http://127.0.0.1:{port}"
    import boto3
    client = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing")
    for _ in range(100):
        try:
            client.create_bucket(Bucket="bench")
            break
        except Exception:
            time.sleep(0.1)
    return server, {"key": "testing", "secret": "testing",
                    "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--workdir", type=Path, default=ROOT / "build" / "bench-store-check")
    args = parser.parse_args()
    paths = make_files(args.workdir / "files", args.files)
    local = args.workdir / "store.zarr"
    shutil.rmtree(local, ignore_errors=True)
    results = {"local": measure(paths, str(local), None)}
    server, options = moto_server()
    try:
        results["local S3"] = measure(paths, "s3://bench/store.zarr", options)
    finally:
        server.terminate()
        server.wait()
    print(f"resumed run of {args.files} entries of 1 s files, all already done ({os.cpu_count()} cores):")
    for where, r in results.items():
        print(f"  {where}: resumed run {r['resumed_s']:.3f} s, of which the chunk check {r['check_s']:.3f} s "
              f"({r['check_ms_per_entry']:.3f} ms per entry, {100 * r['check_s'] / r['resumed_s']:.0f}%)")


if __name__ == "__main__":
    main()
