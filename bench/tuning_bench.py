"""Cost of tuning estimation, measured in one run.

- time of `vexolin.estimate_tuning` on 3 minutes at 22.05 and 44.1 kHz
  against the chroma call it serves (`chroma_cqt` with `tuning=0.0`, on one
  thread and on all cores), the calls taking turns within every repeat;
- the peer's (librosa's) default chroma, which estimates the tuning, beside
  its `tuning=0` chroma on the same signal (bench/.peer-venv);
- peak memory of the estimate on one hour, in a fresh process;
- accuracy: the estimate on 30 s of chords shifted by -45 to +45 cents, and
  how often the chroma with the estimated tuning has the same strongest
  pitch class as the unshifted signal's chroma with tuning=0.0;
- the process's memory after chroma with estimated tuning for 1,000 files
  of random tunings (whole-cent estimates: at most 100 kernel bases), and
  for comparison with each file's exact tuning passed in (1,000 bases).

Usage: bench/tuning_bench.py [--quick] [--no-peer] [--json PATH]
Run by `make bench` (and `make bench-tuning`).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import vexolin  # noqa: E402
from vexolin import _native  # noqa: E402

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
from bench import FMIN, HOP, MIB, Peer, peer_task  # noqa: E402
from probe import reset_peak, status_kib  # noqa: E402

ALL_CORES = os.cpu_count() or 1


def music(seconds: float, sr: float, cents: float = 0.0, seed: int = 0) -> np.ndarray:
    """Chords of harmonic tones, a new one every half second, as float32; in pieces to bound memory."""
    rng = np.random.default_rng(seed)
    progression = [(48, 60, 64, 67), (53, 60, 65, 69), (55, 59, 62, 67), (57, 60, 64, 69)]
    n, step = int(seconds * sr), int(sr / 2)
    y = np.empty(n, dtype=np.float32)
    t = np.arange(step) / sr
    fade = np.minimum(1.0, np.minimum(t, t[-1] - t) * 50)
    chords = []
    for notes in progression:
        f = 440.0 * 2 ** ((np.array(notes) - 69 + cents / 100) / 12)
        chords.append((sum(np.sin(2 * np.pi * k * fi * t) / k for fi in f for k in range(1, 7)) * fade * 0.05))
    for i, lo in enumerate(range(0, n, step)):
        part = chords[i % len(chords)] + 0.002 * rng.standard_normal(step)
        y[lo:lo + step] = part[: n - lo]
    return y


def stats(times: list[float]) -> dict:
    return {"median": statistics.median(times), "min": min(times), "max": max(times), "n": len(times)}


def cost(seconds: float, sr: float, repeats: int) -> dict:
    y = music(seconds, sr, cents=17.0)
    calls = {
        "estimate": lambda: vexolin.estimate_tuning(y, sr=sr),
        "chroma_1": lambda: _native.compute(
            _native.Transform(hop=HOP, fmin=FMIN, n_bins=7 * 36, bins_per_octave=36, output="chroma"), y, sr, 1),
        "chroma_all": lambda: vexolin.chroma_cqt(y, sr=sr, tuning=0.0, workers=ALL_CORES),
        "chroma_estimated_all": lambda: vexolin.chroma_cqt(y, sr=sr, workers=ALL_CORES),
    }
    times: dict[str, list[float]] = {name: [] for name in calls}
    for call in calls.values():
        call()
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    out = {name: stats(t) for name, t in times.items()}
    out["estimate_over_chroma_1"] = statistics.median(e / c for e, c in zip(times["estimate"], times["chroma_1"]))
    out["estimate_over_chroma_all"] = statistics.median(
        e / c for e, c in zip(times["estimate"], times["chroma_all"]))
    out["tuning"] = vexolin.estimate_tuning(y, sr=sr)
    return {"seconds": seconds, "sr": sr, **out}


def accuracy(seconds: float, sr: float) -> list[dict]:
    reference = vexolin.chroma_cqt(music(seconds, sr), sr=sr, tuning=0.0).argmax(axis=0)
    rows = []
    for cents in range(-45, 50, 5):
        chroma, tuning = vexolin.chroma_cqt(music(seconds, sr, cents=float(cents)), sr=sr, return_tuning=True)
        rows.append({"cents": cents, "estimate_cents": round(100 * tuning),
                     "error_cents": abs(100 * tuning - cents),
                     "same_strongest": float((chroma.argmax(axis=0) == reference).mean())})
    return rows


def peer_cost(peer: Peer, seconds: float, sr: float, repeats: int, workdir: Path) -> dict:
    path = workdir / "peer.f32"
    music(seconds, sr, cents=17.0).tofile(path)
    out = {}
    for name, extra in (("default", {"estimate_tuning": True}), ("tuning_0", {})):
        task = peer_task(f"peer-{name}", "chroma", sr, path, 1, repeats, **extra)
        out[name] = stats(peer.run(task)["times"])
    out["tuning_cost"] = out["default"]["median"] - out["tuning_0"]["median"]
    return {"seconds": seconds, "sr": sr, **out}


# ----------------------------------------------------------- fresh processes

def memory_probe(seconds: float, sr: float) -> dict:
    y = music(seconds, sr, cents=-23.0)
    vexolin.estimate_tuning(y[: int(10 * sr)], sr=sr)
    gc.collect()
    exact = reset_peak()
    before = status_kib("VmRSS")
    start = time.perf_counter()
    tuning = vexolin.estimate_tuning(y, sr=sr)
    elapsed = time.perf_counter() - start
    peak = status_kib("VmHWM")
    return {"seconds": seconds, "input_bytes": y.nbytes, "peak_increase_bytes": 1024 * (peak - before),
            "exact": exact, "tuning": tuning, "time": elapsed}


def cache_probe(files: int, exact_tuning: bool) -> dict:
    """Chroma of `files` one-second files of random tunings; the process's
    memory after the first and after the last."""
    sr = 22050.0
    rng = np.random.default_rng(1)
    cents = rng.uniform(-50.0, 50.0, files)
    tunings, errors = [], []
    rss = []
    for i, c in enumerate(cents):
        y = music(1.0, sr, cents=float(c), seed=i)
        if exact_tuning:
            vexolin.chroma_cqt(y, sr=sr, tuning=float(c) / 100)
        else:
            _, t = vexolin.chroma_cqt(y, sr=sr, return_tuning=True)
            tunings.append(t)
            errors.append(abs((t * 100 - c + 50) % 100 - 50))
        if i == 0:
            gc.collect()
            rss.append(status_kib("VmRSS"))
    gc.collect()
    rss.append(status_kib("VmRSS"))
    out = {"files": files, "exact_tuning": exact_tuning, "rss_after_first_bytes": 1024 * rss[0],
           "rss_after_last_bytes": 1024 * rss[1], "growth_bytes": 1024 * (rss[1] - rss[0])}
    if tunings:
        out.update(distinct_tunings=len(set(tunings)), max_error_cents=max(errors),
                   median_error_cents=statistics.median(errors))
    return out


def fresh(mode: str, *args: str) -> dict:
    done = subprocess.run([sys.executable, __file__, "--probe", mode, *args], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


# ------------------------------------------------------------------- main

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, 10 minutes for memory, 200 files")
    parser.add_argument("--no-peer", action="store_true", help="skip librosa")
    parser.add_argument("--peer-python", type=Path, default=BENCH / ".peer-venv" / "bin" / "python")
    parser.add_argument("--json", type=Path, default=BENCH / "tuning_results.json")
    parser.add_argument("--probe", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        mode, *rest = args.probe
        result = memory_probe(float(rest[0]), float(rest[1])) if mode == "memory" else \
            cache_probe(int(rest[0]), rest[1] == "exact")
        print(json.dumps(result))
        return 0

    repeats = 3 if args.quick else 9
    result: dict = {"date": time.strftime("%Y-%m-%d"), "cores": ALL_CORES, "load_average_at_start": os.getloadavg()}
    result["cost"] = [cost(180.0, sr, repeats) for sr in (22050.0, 44100.0)]
    print("Tuning estimate against the chroma call it serves (3 min, median of per-repeat ratios):")
    for c in result["cost"]:
        print(f"  {c['sr'] / 1000:g} kHz: estimate {1e3 * c['estimate']['median']:.1f} ms "
              f"({1e3 * c['estimate']['min']:.1f}-{1e3 * c['estimate']['max']:.1f}); chroma_cqt tuning=0.0 "
              f"1 thread {1e3 * c['chroma_1']['median']:.1f} ms, {ALL_CORES} threads "
              f"{1e3 * c['chroma_all']['median']:.1f} ms; with the estimate, {ALL_CORES} threads "
              f"{1e3 * c['chroma_estimated_all']['median']:.1f} ms; estimate / chroma: "
              f"{c['estimate_over_chroma_1']:.3f} (1 thread), {c['estimate_over_chroma_all']:.3f} ({ALL_CORES}); "
              f"estimated tuning {c['tuning']:+.2f} (signal at +0.17)")
    result["accuracy"] = accuracy(30.0, 22050.0)
    worst = max(result["accuracy"], key=lambda r: r["error_cents"])
    print(f"\nAccuracy on 30 s of chords shifted by -45 to +45 cents (step 5): largest error "
          f"{worst['error_cents']:.1f} cents (at {worst['cents']:+d}); at 0: {result['accuracy'][9]['error_cents']:.1f}; "
          f"same strongest pitch class as the unshifted chroma on at least "
          f"{100 * min(r['same_strongest'] for r in result['accuracy']):.2f}% of frames")
    if not args.no_peer:
        if not args.peer_python.exists():
            sys.exit(f"tuning_bench: no peer environment at {args.peer_python}; pass --no-peer")
        peer = Peer(args.peer_python)
        with tempfile.TemporaryDirectory(prefix="vexolin-tuning-") as tmp:
            result["peer"] = peer_cost(peer, 180.0, 22050.0, max(3, repeats // 3), Path(tmp))
        result["librosa"] = peer.version
        peer.close()
        p = result["peer"]
        print(f"  librosa {peer.version}, 22.05 kHz 3 min, 1 thread: default chroma_cqt (estimates the tuning) "
              f"{1e3 * p['default']['median']:.0f} ms, tuning=0 {1e3 * p['tuning_0']['median']:.0f} ms: "
              f"its estimate costs about {1e3 * p['tuning_cost']:.0f} ms")

    hour = 600.0 if args.quick else 3600.0
    m = fresh("memory", str(hour), "22050")
    result["memory"] = m
    print(f"\nPeak memory of estimate_tuning on {hour / 60:g} min at 22.05 kHz, fresh process: input "
          f"{m['input_bytes'] / MIB:.0f} MiB, peak increase {m['peak_increase_bytes'] / MIB:.2f} MiB "
          f"(target <= 16 MiB){'' if m['exact'] else ' (approximate)'}; {1e3 * m['time']:.1f} ms, "
          f"tuning {m['tuning']:+.2f} (signal at -0.23)")

    files = 200 if args.quick else 1000
    result["cache"] = [fresh("cache", str(files), "estimated"), fresh("cache", str(files), "exact")]
    print(f"\nProcess memory after chroma of {files} one-second files of random tunings:")
    for c in result["cache"]:
        what = ("tunings estimated (whole cents)" if not c["exact_tuning"]
                else "each file's exact tuning passed in")
        extra = (f"; {c['distinct_tunings']} distinct tunings, error median {c['median_error_cents']:.1f}, "
                 f"max {c['max_error_cents']:.1f} cents" if "distinct_tunings" in c else "")
        print(f"  {what}: {c['rss_after_first_bytes'] / MIB:.1f} MiB after the first file, "
              f"{c['rss_after_last_bytes'] / MIB:.1f} MiB after the last: +{c['growth_bytes'] / MIB:.1f} MiB{extra}")
    result["load_average_at_end"] = os.getloadavg()
    args.json.write_text(json.dumps(result, indent=1))
    print(f"\nJSON copy in {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
