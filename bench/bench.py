"""Speed of `_vexolin` against its floor and its peer, measured in one run.

For every case (a function, a sample rate and a signal length) the runner
times, each as the median of repeats after a warm-up with the spread:

- the transforms on one thread and on all cores (`vexolin._native`, the same
  wrappers and engine as `_vexolin` with the thread count as an argument);
- the floor: only the FFTs and rate halvings the call makes, and the engine
  alone for the same call (build/bench/floor_bench, C++);
- the peer, librosa, in its own environment (bench/.peer-venv) on one thread,
  right after ours for the same case, so that both see the same machine load;

then 1000 short clips one call each, the first call in a fresh process
against later calls, and the peak memory of one call, each in a subprocess.
It prints a table and the issue's targets as met / not met, and writes the
same numbers as JSON.

Usage: bench/bench.py [--quick] [--json PATH] [--no-peer] [--peer-max-seconds S] [--reference]
       bench/bench.py --markdown bench/results.json   (the table of that run, as Markdown;
       tools/speed_tables.py makes the README's and the speed page's from the JSON)
Run by `make bench`, which sets up the peer environment and builds the floor
benchmark first.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# NumPy's OpenBLAS starts worker threads that poll for work; nothing here
# uses BLAS, and those threads would take the second core from the engine's
# workers. Set before NumPy is imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"

try:
    from vexolin import _native
except ImportError as exc:
    sys.exit(f"bench: cannot import the extension module vexolin._native ({exc}).\n"
             "Build it first (`make build`) and run this script with .venv/bin/python.")

HOP = 512
FMIN = 32.70319566257483
MIB = 1024 * 1024
ALL_CORES = os.cpu_count() or 1
PEER_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1",
            "NUMBA_NUM_THREADS": "1"}


# ----------------------------------------------------------------- inputs

def synthetic_signal(seconds: float, sr: float, seed: int = 0) -> np.ndarray:
    """A few sustained partials with slow vibrato plus noise, as float32."""
    rng = np.random.default_rng(seed)
    n = int(seconds * sr)
    y = np.empty(n, dtype=np.float32)
    chunk = 1 << 22
    for lo in range(0, n, chunk):  # in pieces: 30 minutes would need GiBs of float64 temporaries
        t = np.arange(lo, min(n, lo + chunk)) / sr
        part = 0.05 * rng.standard_normal(t.size)
        for f0, amp in [(110.0, 0.5), (261.63, 0.3), (440.0, 0.25), (1318.5, 0.1), (3520.0, 0.05)]:
            vibrato = 0.003 * f0 / 5.0 * np.sin(2 * np.pi * 5.0 * t)
            part += amp * np.sin(2 * np.pi * f0 * t + vibrato)
        y[lo:lo + t.size] = part
    return y


def ours(kind: str, sr: float):
    """The call of a case, taking the signal and the engine's thread count."""
    if kind == "cqt":
        cqt = _native.Transform(hop=HOP, fmin=FMIN, n_bins=84, bins_per_octave=12)
        return lambda y, threads: _native.compute(cqt, y, sr, threads)
    chroma = _native.Transform(hop=HOP, fmin=FMIN, n_bins=7 * 36, bins_per_octave=36, output="chroma")
    return lambda y, threads: _native.compute(chroma, y, sr, threads)


# ------------------------------------------------------------- statistics

def stats(times: list[float]) -> dict:
    q = statistics.quantiles(times, n=4, method="inclusive") if len(times) > 1 else [times[0]] * 3
    return {"median": statistics.median(times), "q1": q[0], "q3": q[2], "min": min(times),
            "max": max(times), "n": len(times)}


def timed(fn, warmup: int, repeats: int) -> dict:
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return stats(times)


# ------------------------------------------------------------- measuring

def repeats_for(seconds: float, base: int) -> int:
    return base if seconds <= 180 else max(3, base - 2) if seconds <= 600 else 3


def measure_case(case: dict, y: np.ndarray, path: Path, peer: "Peer | None", repeats: int) -> None:
    """Ours on one thread, ours on all cores and the peer take turns within
    every repeat, so that a change in the machine's load reaches all three
    alike; ratios are the medians of the per-repeat ratios."""
    call = ours(case["kind"], case["sr"])

    def ours_once(threads: int) -> float:
        start = time.perf_counter()
        call(y, threads)
        return time.perf_counter() - start

    task = None
    if peer is not None:
        task = peer_task(f"{case['kind']}-{int(case['sr'])}-{int(case['seconds'])}", case["kind"], case["sr"], path,
                         0, 1)
        warm = peer.run(dict(task, warmup=1, repeats=0))
        case["peer_shape"] = warm["shape"]
    ours_once(1)
    ours_once(ALL_CORES)
    one, all_cores, peer_times = [], [], []
    for _ in range(repeats):
        one.append(ours_once(1))
        all_cores.append(ours_once(ALL_CORES))
        if task is not None:
            peer_times.append(peer.run(task)["times"][0])
    case["frames"] = int(call(y, ALL_CORES).shape[1])
    case["ours_1"], case["ours_all"] = stats(one), stats(all_cores)
    case["all_speedup"] = stats([a / b for a, b in zip(one, all_cores)])
    if task is not None:
        case["peer"] = stats(peer_times)
        case["peer_over_ours"] = stats([p / a for p, a in zip(peer_times, one)])


def measure_floor(case: dict, path: Path, floor_bin: Path, base_repeats: int) -> None:
    cmd = [str(floor_bin), "--json", "--kind", case["kind"], "--sr", repr(case["sr"]), "--hop", str(HOP),
           "--fmin", repr(FMIN), "--input", str(path), "--repeats", str(repeats_for(case["seconds"], base_repeats))]
    cmd += ["--n-bins", "84", "--bins-per-octave", "12"] if case["kind"] == "cqt" else \
        ["--bins-per-octave", "36", "--n-octaves", "7", "--n-chroma", "12"]
    done = subprocess.run(cmd, capture_output=True, text=True, check=True)
    case["floor"] = json.loads(done.stdout)


def peer_task(case_id: str, kind: str, sr: float, path: Path, warmup: int, repeats: int, **extra) -> dict:
    task = {"id": case_id, "kind": kind, "sr": sr, "hop": HOP, "fmin": FMIN, "input": str(path),
            "warmup": warmup, "repeats": repeats}
    if kind in ("cqt", "clips"):
        task.update(n_bins=84, bins_per_octave=12)
    else:
        task.update(n_chroma=12, bins_per_octave=36, n_octaves=7)
    task.update(extra)
    return task


class Peer:
    """The peer worker, one process in the peer environment for the whole run."""

    def __init__(self, python: Path):
        env = dict(os.environ, **PEER_ENV)
        env.pop("PYTHONPATH", None)
        self.proc = subprocess.Popen([str(python), str(BENCH / "peer_worker.py")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)
        self.version = self.run({"id": "version", "kind": "version"})["librosa"]

    def run(self, task: dict) -> dict:
        self.proc.stdin.write(json.dumps(task) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"the peer worker ended (exit code {self.proc.wait()}) on task {task['id']}")
        return json.loads(line)

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def probe(mode: str, kind: str, sr: float, path: Path, threads: int, *extra: str) -> dict:
    # The probe times `_vexolin` itself, from its import on: its callers pick
    # its threads with VEXOLIN_THREADS, so the fresh process gets them so too.
    env = dict(os.environ, VEXOLIN_THREADS=str(threads))
    done = subprocess.run([sys.executable, str(BENCH / "probe.py"), mode, kind, repr(sr), str(path), *extra],
                          capture_output=True, text=True, env=env, check=True)
    return json.loads(done.stdout)


def measure_clips(clips: np.ndarray, passes: int, peer: "Peer | None", peer_task_: dict | None) -> dict:
    """Seconds per call over passes through all clips; as for the long
    signals, ours on one thread, on all cores and the peer take turns."""
    call = ours("cqt", 22050.0)

    def ours_pass(threads: int) -> float:
        start = time.perf_counter()
        for y in clips:
            call(y, threads)
        return (time.perf_counter() - start) / len(clips)

    ours_pass(1)
    if peer is not None:
        peer.run(dict(peer_task_, warmup=20, repeats=0))
    one, all_cores, peer_times = [], [], []
    for _ in range(passes):
        one.append(ours_pass(1))
        all_cores.append(ours_pass(ALL_CORES))
        if peer is not None:
            peer_times.append(peer.run(peer_task_)["times"][0])
    out = {"ours_1": stats(one), "ours_all": stats(all_cores),
           "all_speedup": stats([a / b for a, b in zip(one, all_cores)])}
    if peer is not None:
        out["peer"] = stats(peer_times)
        out["peer_over_ours"] = stats([p / a for p, a in zip(peer_times, one)])
    return out


def reference_deviation(case: dict, y: np.ndarray) -> dict:
    """Largest deviation from the float64 reference, absolute and relative to its largest value."""
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    import reference

    y64 = y.astype(np.float64)
    if case["kind"] == "cqt":
        want = reference.cqt_magnitude(y64, case["sr"], HOP, FMIN, 84, 12)
    else:
        want = reference.chroma_cqt(y64, case["sr"], HOP, 36, 7, 12, FMIN)
    got = ours(case["kind"], case["sr"])(y, ALL_CORES).astype(np.float64)
    diff = float(np.max(np.abs(got - want)))
    return {"max_abs": diff, "max_rel": diff / float(np.max(np.abs(want)))}


# ------------------------------------------------------------- reporting

def ms(s: dict | None, spread: bool = True) -> str:
    if s is None:
        return "-"
    text = f"{1e3 * s['median']:.1f}"
    if spread:
        text += f" ({1e3 * s['min']:.1f}-{1e3 * s['max']:.1f})"
    return text


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def fmt(x: float | None, digits: int = 2) -> str:
    return "-" if x is None else f"{x:.{digits}f}"


def duration_label(seconds: float) -> str:
    return f"{seconds:g} s" if seconds < 60 else f"{seconds / 60:g} min"


def case_name(c: dict) -> str:
    name = "cqt_magnitude 84/12" if c["kind"] == "cqt" else "chroma_cqt 7x36->12"
    return f"{name} {c['sr'] / 1000:g} kHz {duration_label(c['seconds'])}"


def print_cases(cases: list[dict]) -> None:
    head = (f"{'case':<34}{'frames':>7}  {'ours 1 thr ms (min-max)':<25}{f'ours {ALL_CORES} thr ms':<22}"
            f"{'all/1':>6}{'floor ms':>10}{'eng1/fl':>8}{'engN/fl':>8}  {'peer 1 thr ms':<24}{'peer/ours':>10}")
    print(head)
    print("-" * len(head))
    for c in cases:
        fl = c.get("floor")
        peer = c.get("peer")
        print(f"{case_name(c):<34}{c['frames']:>7}  {ms(c['ours_1']):<25}{ms(c['ours_all']):<22}"
              f"{fmt(c['all_speedup']['median']):>6}"
              f"{fmt(fl and 1e3 * fl['floor']['median'], 1):>10}"
              f"{fmt(fl and fl['engine_1_over_floor']['median']):>8}"
              f"{fmt(fl and fl['engine_all_over_floor']['median']):>8}  "
              f"{ms(peer) if peer else 'skipped':<24}{fmt(peer and c['peer_over_ours']['median'], 1):>10}")
    print("all/1 = speed-up of all cores over 1 thread; floor = the call's FFTs + halvings only (C++, 1 thread); "
          "eng1/fl, engN/fl = engine time (C++, 1 / all threads) over the floor; peer/ours = librosa / ours, both "
          "1 thread. Times: median (min-max) of repeats after a warm-up; ratios: median of per-repeat ratios, the "
          "compared calls taking turns within each repeat.")


def find(cases, kind, sr, seconds):
    for c in cases:
        if c["kind"] == kind and c["sr"] == sr and c["seconds"] == seconds:
            return c
    return None


def targets(cases, clips, first_calls, memory) -> list[dict]:
    """Each target: name, measured value, bound, met (None when not measured)."""
    out = []

    def add(name, value, bound, at_most=True):
        if isinstance(value, bool) or value is None:  # a case left out of this run
            value = None
        met = None if value is None else (value <= bound if at_most else value >= bound)
        out.append({"target": name, "value": value, "bound": bound, "at_most": at_most, "met": met})

    for kind in ("cqt", "chroma"):
        c = find(cases, kind, 22050.0, 180.0)
        add(f"{kind} 3 min, 1 thread: engine / floor", c and c["floor"]["engine_1_over_floor"]["median"], 1.3)
    for kind, bound in (("cqt", 8.0), ("chroma", 9.0)):
        c = find(cases, kind, 22050.0, 180.0)
        add(f"{kind} 3 min, 1 thread: peer / ours", c and "peer" in c and c["peer_over_ours"]["median"], bound,
            at_most=False)
    add("1000 clips, 1 thread: peer / ours per call", "peer" in clips and clips["peer_over_ours"]["median"], 150.0,
        at_most=False)
    for kind in ("cqt", "chroma"):
        short, long = find(cases, kind, 22050.0, 30.0), find(cases, kind, 22050.0, 600.0)
        add(f"{kind}, 1 thread: t(10 min) / (20 x t(30 s))", short and long and
            ratio(long["ours_1"]["median"], 20.0 * short["ours_1"]["median"]), 1.05)
    speedups = [(c["all_speedup"]["median"], case_name(c)) for c in cases]
    speedups.append((clips["all_speedup"]["median"], "1000 clips"))
    worst = min(speedups)
    add(f"all cores / 1 thread speed-up, worst case ({worst[1]})", worst[0], 1.0, at_most=False)
    c = find(cases, "chroma", 22050.0, 600.0)
    add("chroma 10 min: all cores / 1 thread speed-up", c and c["all_speedup"]["median"], 1.6, at_most=False)
    for f in first_calls:
        add(f"{f['kind']} 3 min, {f['threads']} thread(s): first call / warm call", f["ratio"], 1.3)
    for m in memory:
        add(f"{m['kind']} {duration_label(m['seconds'])}: peak / (input + 3 x output + 16 MiB)", m["ratio"], 1.0)
    return out


def print_targets(rows: list[dict]) -> None:
    print("\nTargets")
    for t in rows:
        state = "not measured" if t["met"] is None else "met" if t["met"] else "NOT MET"
        op = "<=" if t["at_most"] else ">="
        print(f"  {state:<13}{t['target']:<80}{fmt(t['value'], 3):>8} {op} {t['bound']:g}")


def markdown(result: dict) -> str:
    """The main table of a finished run, for the README."""
    m = result["machine"]
    lines = [f"{m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, {m['date'][:10]}; librosa "
             f"{m.get('librosa', '-')}; load average {m['load_average_at_start'][0]:.1f} at the start, "
             f"{m['load_average_at_end'][0]:.1f} at the end.", "",
             f"| call | rate | signal | `_vexolin`, 1 thread | {m['cores']} threads | floor | engine / floor "
             "| librosa, 1 thread | librosa / ours |", "|---|---|---|---|---|---|---|---|---|"]
    for c in result["cases"]:
        name = "`cqt_magnitude`" if c["kind"] == "cqt" else "`chroma_cqt`"
        fl, peer = c["floor"], c.get("peer")
        lines.append(f"| {name} | {c['sr'] / 1000:g} kHz | {duration_label(c['seconds'])} | "
                     f"{1e3 * c['ours_1']['median']:.1f} ms | {1e3 * c['ours_all']['median']:.1f} ms | "
                     f"{1e3 * fl['floor']['median']:.1f} ms | {fl['engine_1_over_floor']['median']:.2f} | "
                     + (f"{1e3 * peer['median']:.0f} ms | {c['peer_over_ours']['median']:.1f}x |" if peer else "- | - |"))
    cl = result["clips"]
    peer = cl.get("peer")
    lines.append(f"| `cqt_magnitude`, 1000 clips of 4096 samples, per call | 22.05 kHz | 0.19 s | "
                 f"{1e3 * cl['ours_1']['median']:.3f} ms | {1e3 * cl['ours_all']['median']:.3f} ms | | | "
                 + (f"{1e3 * peer['median']:.1f} ms | {cl['peer_over_ours']['median']:.0f}x |" if peer else "- | - |"))
    return "\n".join(lines)


def machine() -> dict:
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    mem = next((int(line.split()[1]) * 1024 for line in open("/proc/meminfo") if line.startswith("MemTotal")), 0)
    return {"cpu": model, "cores": ALL_CORES, "memory_gib": round(mem / 2**30, 1), "os": platform.platform(),
            "python": platform.python_version(), "numpy": np.__version__,
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "load_average_at_start": os.getloadavg()}


# ------------------------------------------------------------------ main

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a subset: 30 s and 3 min at 22.05 kHz, 30 s at 44.1 kHz, fewer repeats and clips")
    parser.add_argument("--json", type=Path, default=BENCH / "results.json", help="where to write the JSON copy")
    parser.add_argument("--no-peer", action="store_true", help="skip librosa")
    parser.add_argument("--peer-python", type=Path, default=BENCH / ".peer-venv" / "bin" / "python")
    parser.add_argument("--peer-max-seconds", type=float, default=None,
                        help="longest signal given to the peer (default: all in the full run, 3 min with --quick)")
    parser.add_argument("--floor-bench", type=Path, default=ROOT / "build" / "bench" / "floor_bench")
    parser.add_argument("--reference", action="store_true",
                        help="also check each case up to 3 min against the float64 NumPy reference of the tests")
    parser.add_argument("--markdown", type=Path, metavar="RESULTS_JSON",
                        help="print the main table of an earlier run's JSON as Markdown and exit")
    parser.add_argument("--repeats", type=int, default=None, help="timed calls per case up to 3 min (default 7, quick 3)")
    args = parser.parse_args()
    if args.markdown:
        print(markdown(json.loads(args.markdown.read_text())))
        return 0

    quick = args.quick
    base = args.repeats or (3 if quick else 7)
    lengths_22 = [30.0, 180.0] if quick else [30.0, 180.0, 600.0, 1800.0]
    lengths_44 = [30.0] if quick else [30.0, 180.0]
    peer_max = args.peer_max_seconds if args.peer_max_seconds is not None else (180.0 if quick else 1800.0)
    n_clips_peer, clip_passes = (200, 2) if quick else (1000, 3)
    first_call_processes = 1 if quick else 3
    memory_lengths = [180.0] if quick else [180.0, 600.0, 1800.0]
    use_peer = not args.no_peer
    if use_peer and not args.peer_python.exists():
        sys.exit(f"bench: no peer environment at {args.peer_python}; run bench/setup_peer_env.sh "
                 "(make bench does), or pass --no-peer")
    if not args.floor_bench.exists():
        sys.exit(f"bench: {args.floor_bench} is missing; build it with "
                 "`cmake --build build --target floor_bench` (make bench does)")

    info = machine()
    print(f"machine: {info['cpu']}, {info['cores']} cores, {info['memory_gib']} GiB; {info['os']}; "
          f"load average {info['load_average_at_start'][0]:.2f}")
    print(f"hop {HOP}, fmin {FMIN:.4f} Hz (C1); cqt_magnitude 84 bins at 12/octave; chroma_cqt 7 octaves x 36 "
          f"bins folded to 12; {'quick subset' if quick else 'full run'}; peer up to "
          f"{duration_label(peer_max)} of audio" + ("" if use_peer else " (peer skipped)"))
    cases = [{"kind": k, "sr": 22050.0, "seconds": s} for s in lengths_22 for k in ("cqt", "chroma")]
    cases += [{"kind": k, "sr": 44100.0, "seconds": s} for s in lengths_44 for k in ("cqt", "chroma")]
    started = time.perf_counter()

    with tempfile.TemporaryDirectory(prefix="vexolin-bench-") as tmp:
        workdir = Path(tmp)
        signal_files = {}
        peer = Peer(args.peer_python) if use_peer else None
        if peer:
            info["librosa"] = peer.version
        for c in cases:
            key = (c["sr"], c["seconds"])
            if key not in signal_files:
                signal_files[key] = workdir / f"signal_{int(c['sr'])}_{int(c['seconds'])}.f32"
                synthetic_signal(c["seconds"], c["sr"]).tofile(signal_files[key])
            path = signal_files[key]
            y = np.fromfile(path, dtype=np.float32)
            print(f"  measuring {case_name(c)} ...", flush=True)
            c["peer_skipped"] = c["seconds"] > peer_max
            measure_case(c, y, path, None if c["peer_skipped"] else peer, repeats_for(c["seconds"], base))
            measure_floor(c, path, args.floor_bench, base)
            if args.reference and c["seconds"] <= 180:
                c["reference"] = reference_deviation(c, y)
            if "peer_shape" in c and c["peer_shape"][1] != c["frames"]:
                print(f"  note: the peer gives {c['peer_shape'][1]} frames for {case_name(c)}, ours {c['frames']}")
            del y

        print("  measuring 1000 clips of 4096 samples ...", flush=True)
        clips_arr = np.stack([synthetic_signal(4096 / 22050.0, 22050.0, seed=i)[:4096] for i in range(1000)])
        clip_task = None
        if peer:
            clips_file = workdir / "clips.f32"
            clips_arr[:n_clips_peer].tofile(clips_file)
            clip_task = peer_task("clips", "clips", 22050.0, clips_file, 0, 1, clip_len=4096)
        clips = measure_clips(clips_arr, clip_passes, peer, clip_task)
        clips.update(n_clips=1000, clip_len=4096, peer_n_clips=n_clips_peer)
        if peer:
            peer.close()

        print("  measuring first calls and peak memory in fresh processes ...", flush=True)
        first_calls = []
        for kind in ("cqt", "chroma"):
            for threads in (1, ALL_CORES):
                runs = [probe("first-call", kind, 22050.0, signal_files[(22050.0, 180.0)], threads, "5")
                        for _ in range(first_call_processes)]
                first = statistics.median(r["first"] for r in runs)
                warm = statistics.median(t for r in runs for t in r["warm"])
                first_calls.append({"kind": kind, "threads": threads, "processes": len(runs),
                                    "import": statistics.median(r["import"] for r in runs),
                                    "first": first, "warm": warm, "ratio": first / warm,
                                    "first_all": [r["first"] for r in runs]})
        memory = []
        for seconds in memory_lengths:
            path = signal_files.get((22050.0, seconds))
            for kind in ("cqt", "chroma"):
                m = probe("memory", kind, 22050.0, path, ALL_CORES)
                budget = m["input_bytes"] + 3 * m["output_bytes"] + 16 * MIB
                m.update(kind=kind, seconds=seconds, threads=ALL_CORES, budget_bytes=budget,
                         ratio=m["peak_increase_bytes"] / budget)
                memory.append(m)

    print()
    print_cases(cases)
    def per_call(s):
        return f"{1e3 * s['median']:.4f} ({1e3 * s['min']:.4f}-{1e3 * s['max']:.4f})"

    print(f"\n1000 clips of 4096 samples, cqt_magnitude at 22.05 kHz, one call each; ms per call, median (min-max) "
          f"over passes: ours 1 thread {per_call(clips['ours_1'])}, ours {ALL_CORES} threads "
          f"{per_call(clips['ours_all'])} ({clip_passes} passes of 1000)")
    if "peer" in clips:
        print(f"  peer {per_call(clips['peer'])} ({clip_passes} passes of {n_clips_peer}); peer / ours "
              f"{clips['peer_over_ours']['median']:.0f} (median of per-pass ratios)")
    print("\nFirst call in a fresh process (3 min, 22.05 kHz; median over processes), ms:")
    for f in first_calls:
        print(f"  {f['kind']:<7}{f['threads']} thread(s): import {1e3 * f['import']:.1f}, first call "
              f"{1e3 * f['first']:.1f}, warm call {1e3 * f['warm']:.1f}, first / warm {f['ratio']:.2f}")
    print(f"\nPeak memory of one warm call in a fresh process ({ALL_CORES} threads), MiB:")
    for m in memory:
        print(f"  {m['kind']:<7}{duration_label(m['seconds']):<7}input {m['input_bytes'] / MIB:7.1f}, output "
              f"{m['output_bytes'] / MIB:6.1f}, peak increase {m['peak_increase_bytes'] / MIB:7.1f} = "
              f"{m['peak_increase_bytes'] / m['input_bytes']:.2f} x input; budget input + 3 x output + 16 MiB = "
              f"{m['budget_bytes'] / MIB:7.1f}; ratio {m['ratio']:.2f}" + ("" if m["exact"] else " (approximate)"))
    checked = [c for c in cases if "reference" in c]
    if checked:
        print("\nAgainst the float64 NumPy reference (max |diff| / max |reference|):")
        for c in checked:
            print(f"  {case_name(c):<36}{c['reference']['max_rel']:.2e}")
    rows = targets(cases, clips, first_calls, memory)
    print_targets(rows)

    info["load_average_at_end"] = os.getloadavg()
    info["run_seconds"] = time.perf_counter() - started
    result = {"machine": info, "quick": quick, "hop": HOP, "fmin": FMIN, "cases": cases, "clips": clips,
              "first_call": first_calls, "memory": memory, "targets": rows}
    args.json.write_text(json.dumps(result, indent=1))
    print(f"\nrun took {info['run_seconds']:.0f} s; load average at end {info['load_average_at_end'][0]:.2f}; "
          f"JSON copy in {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
