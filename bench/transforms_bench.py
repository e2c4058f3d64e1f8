"""The harmonic and variable-Q transforms against separate calls, the peer and
the floor, measured in one run, on one thread.

- hcqt in the deep-salience layout (harmonics 0.5, 1, 2, 3, 4, 5; 6 octaves of
  60 bins from C1; hop 256; 22.05 kHz; 3 minutes) against six cqt calls of
  ours, one per harmonic, and against the peer's six cqt calls (librosa, in
  bench/.peer-venv); the three take turns within every repeat;
- vqt with the ERB bands (84 bins at 12 per octave from C1, hop 512, 3 min)
  against the peer's vqt, and how closely each agrees with the peer (max
  |ours - peer| / max |peer|) beside the same figure for cqt, over all frames
  and over the frames whose kernels and halvings do not reach the signal's
  ends (the two sides extend a signal past its ends differently);
- the engine against its floor for hcqt: the FFTs the harmonics share and one
  pyramid of halvings (build/bench/floor_bench --kind hcqt), with, for
  reference, what the kernel products alone and a fresh output cost on top;
- the peak memory of one hcqt call on 10 minutes, in a fresh process,
  against its output.

Usage: bench/transforms_bench.py [--quick] [--no-peer] [--json PATH]
Run by `make bench`.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import BENCH, FMIN, MIB, ROOT, Peer, machine, probe, stats, synthetic_signal  # noqa: E402

from vexolin import _native  # noqa: E402

SR = 22050.0
HARMONICS = (0.5, 1.0, 2.0, 3.0, 4.0, 5.0)
SALIENCE = {"hop": 256, "n_bins": 360, "bins_per_octave": 60}
VQT = {"hop": 512, "n_bins": 84, "bins_per_octave": 12}


def timed_once(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def hcqt_case(y: np.ndarray, path: Path, peer: Peer | None, repeats: int) -> dict:
    """hcqt, six cqt calls of ours and the peer's six calls, taking turns."""
    hop, n_bins, bpo = SALIENCE["hop"], SALIENCE["n_bins"], SALIENCE["bins_per_octave"]

    def together():
        return _native.compute(_native.Transform(hop=hop, fmin=FMIN, n_bins=n_bins, bins_per_octave=bpo,
                                                 harmonics=HARMONICS), y, SR, 1)

    def separately():
        return [_native.compute(_native.Transform(hop=hop, fmin=h * FMIN, n_bins=n_bins, bins_per_octave=bpo),
                                y, SR, 1) for h in HARMONICS]

    task = None
    channels = None
    if peer is not None:
        task = {"id": "harmonics", "kind": "harmonics", "sr": SR, "hop": hop, "fmin": FMIN, "n_bins": n_bins,
                "bins_per_octave": bpo, "harmonics": HARMONICS, "input": str(path), "warmup": 0, "repeats": 1}
        saved = path.with_name("peer_harmonics.npy")
        peer.run(dict(task, warmup=1, repeats=0, save=str(saved)))
        # Each channel against the peer's cqt of the same layout, away from
        # the signal's ends (the lowest channel's kernels reach furthest).
        skip = edge_frames(n_bins, bpo, hop, 0.0, fmin=min(HARMONICS) * FMIN)
        theirs_all, ours_all = np.load(saved), together()
        channels = {f"{h:g}": agreement(ours_all[i], theirs_all[i], skip) for i, h in enumerate(HARMONICS)}
    together()
    separately()
    ours, six, theirs = [], [], []
    for _ in range(repeats):
        ours.append(timed_once(together))
        six.append(timed_once(separately))
        if task is not None:
            theirs.append(peer.run(task)["times"][0])
    out = {"hcqt": stats(ours), "six_cqt": stats(six), "hcqt_over_six": stats([a / b for a, b in zip(ours, six)])}
    if channels is not None:
        out["channel_agreement_inside"] = channels
    if theirs:
        out["peer_six"] = stats(theirs)
        out["peer_over_hcqt"] = stats([p / a for p, a in zip(theirs, ours)])
    return out


def agreement(ours: np.ndarray, theirs: np.ndarray, skip: int = 0) -> float:
    """max |ours - theirs| / max |theirs| over their common frames, leaving
    out `skip` frames at each end."""
    n = min(ours.shape[-1], theirs.shape[-1])
    a, b = ours[..., skip:n - skip].astype(np.float64), theirs[..., skip:n - skip].astype(np.float64)
    return float(np.max(np.abs(a - b)) / np.max(np.abs(b)))


def edge_frames(n_bins: int, bpo: int, hop: int, gamma: float, fmin: float = FMIN) -> int:
    """Frames at each end of the signal that a kernel or a halving filter
    reaching past the signal's end can touch: there the two sides' ways of
    extending the signal, not their transforms, set the difference."""
    p = 2.0 ** (2.0 / bpo)
    alpha = (p - 1.0) / (p + 1.0)
    longest = SR / (alpha * fmin + gamma)  # the lowest bin's filter, in samples at the full rate
    n_octaves = -(-n_bins // bpo)
    halving_reach = 32 * 2 ** (n_octaves - 1)  # the half-band filter's reach at the lowest rate
    return int(np.ceil((longest / 2 + halving_reach) / hop))


def vqt_case(y: np.ndarray, path: Path, peer: Peer | None, repeats: int, workdir: Path) -> dict:
    hop, n_bins, bpo = VQT["hop"], VQT["n_bins"], VQT["bins_per_octave"]
    p = 2.0 ** (2.0 / bpo)
    gamma = 24.7 * ((p - 1.0) / (p + 1.0)) / 0.108

    def ours_vqt():
        return _native.compute(_native.Transform(hop=hop, fmin=FMIN, n_bins=n_bins, bins_per_octave=bpo,
                                                 gamma=gamma), y, SR, 1)

    out: dict = {"gamma": gamma}
    if peer is None:
        out["vqt"] = stats([timed_once(ours_vqt) for _ in range(repeats)])
        return out
    common = {"sr": SR, "hop": hop, "fmin": FMIN, "n_bins": n_bins, "bins_per_octave": bpo, "input": str(path)}
    vqt_task = dict(common, id="vqt", kind="vqt", warmup=0, repeats=1)
    saved_vqt, saved_cqt = workdir / "peer_vqt.npy", workdir / "peer_cqt.npy"
    peer.run(dict(vqt_task, warmup=0, repeats=1, save=str(saved_vqt)))
    peer.run(dict(common, id="cqt", kind="cqt", warmup=0, repeats=1, save=str(saved_cqt)))
    ours_v = ours_vqt()
    ours_c = _native.compute(_native.Transform(hop=hop, fmin=FMIN, n_bins=n_bins, bins_per_octave=bpo), y, SR, 1)
    peer_v, peer_c = np.load(saved_vqt), np.load(saved_cqt)
    out["vqt_agreement"] = agreement(ours_v, peer_v)
    out["cqt_agreement"] = agreement(ours_c, peer_c)
    # The same away from the signal's ends, each transform leaving out the
    # frames its own kernels and halvings reach the ends from.
    out["edge_frames"] = {"vqt": edge_frames(n_bins, bpo, hop, gamma), "cqt": edge_frames(n_bins, bpo, hop, 0.0)}
    out["vqt_agreement_inside"] = agreement(ours_v, peer_v, out["edge_frames"]["vqt"])
    out["cqt_agreement_inside"] = agreement(ours_c, peer_c, out["edge_frames"]["cqt"])
    ours, theirs = [], []
    for _ in range(repeats):
        ours.append(timed_once(ours_vqt))
        theirs.append(peer.run(vqt_task)["times"][0])
    out.update(vqt=stats(ours), peer_vqt=stats(theirs), peer_over_vqt=stats([p / a for p, a in zip(theirs, ours)]))
    return out


def floor_case(path: Path, floor_bin: Path, repeats: int) -> dict:
    cmd = [str(floor_bin), "--json", "--kind", "hcqt", "--sr", repr(SR), "--hop", str(SALIENCE["hop"]),
           "--fmin", repr(FMIN), "--n-bins", str(SALIENCE["n_bins"]), "--bins-per-octave",
           str(SALIENCE["bins_per_octave"]), "--harmonics", ",".join(map(repr, HARMONICS)), "--input", str(path),
           "--repeats", str(repeats)]
    return json.loads(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, and 3 minutes for the memory check")
    parser.add_argument("--no-peer", action="store_true", help="skip librosa")
    parser.add_argument("--peer-python", type=Path, default=BENCH / ".peer-venv" / "bin" / "python")
    parser.add_argument("--floor-bench", type=Path, default=ROOT / "build" / "bench" / "floor_bench")
    parser.add_argument("--json", type=Path, default=BENCH / "results_transforms.json")
    args = parser.parse_args()
    repeats = 2 if args.quick else 3
    info = machine()
    print(f"machine: {info['cpu']}, {info['cores']} cores; load average {info['load_average_at_start'][0]:.2f}; "
          "every call on one thread")
    use_peer = not args.no_peer and args.peer_python.exists()
    peer = Peer(args.peer_python) if use_peer else None
    result: dict = {"machine": info, "quick": args.quick}
    if peer:
        info["librosa"] = peer.version
    with tempfile.TemporaryDirectory(prefix="vexolin-transforms-") as tmp:
        workdir = Path(tmp)
        path = workdir / "signal_3min.f32"
        synthetic_signal(180.0, SR).tofile(path)
        y = np.fromfile(path, dtype=np.float32)
        print("  measuring hcqt against six cqt calls ...", flush=True)
        result["hcqt"] = hcqt_case(y, path, peer, repeats)
        print("  measuring vqt against the peer's ...", flush=True)
        result["vqt"] = vqt_case(y, path, peer, repeats, workdir)
        if peer:
            peer.close()
        print("  measuring the engine against its floor ...", flush=True)
        result["floor"] = floor_case(path, args.floor_bench, 3 if args.quick else 5)
        memory_seconds = 180.0 if args.quick else 600.0
        long_path = workdir / "signal_memory.f32"
        synthetic_signal(memory_seconds, SR, seed=1).tofile(long_path)
        print(f"  measuring the peak memory of hcqt on {memory_seconds / 60:g} min ...", flush=True)
        m = probe("memory", "hcqt", SR, long_path, 1)
        m.update(seconds=memory_seconds, budget_bytes=m["output_bytes"] + 64 * MIB)
        m["ratio"] = m["peak_increase_bytes"] / m["budget_bytes"]
        result["memory"] = m

    h, v, fl, m = result["hcqt"], result["vqt"], result["floor"], result["memory"]
    print(f"\nhcqt, deep-salience layout, 3 min at 22.05 kHz ({len(HARMONICS)} x {SALIENCE['n_bins']} bins, hop "
          f"{SALIENCE['hop']}); ms, median (min-max) of {repeats} repeats taking turns:")
    for name, key in (("hcqt", "hcqt"), ("six cqt calls, ours", "six_cqt"), ("six cqt calls, peer", "peer_six")):
        if key in h:
            s = h[key]
            print(f"  {name:<22}{1e3 * s['median']:9.1f} ({1e3 * s['min']:.1f}-{1e3 * s['max']:.1f})")
    print(f"  hcqt / six of ours {h['hcqt_over_six']['median']:.3f}"
          + (f"; peer's six / hcqt {h['peer_over_hcqt']['median']:.1f}" if "peer_over_hcqt" in h else ""))
    if "channel_agreement_inside" in h:
        # Before every octave kept its kernels in the halving filter's flat band (2026-12-08).
        before = {"0.5": 4e-4, "1": 4e-4, "2": 4e-4, "3": 4e-4, "4": 4e-4, "5": 7.1e-2}
        print("  max |ours - peer| / max |peer| per channel, away from the ends (before the flat-band rule):")
        for name, value in h["channel_agreement_inside"].items():
            print(f"    h={name:<4}{value:.2e} ({before[name]:.1e})")
    print(f"\nvqt (gamma {v['gamma']:.3f} Hz, ERB), 84 bins at 12 per octave from C1, hop 512, 3 min: ours "
          f"{1e3 * v['vqt']['median']:.1f} ms" + (
              f", peer {1e3 * v['peer_vqt']['median']:.0f} ms, peer / ours {v['peer_over_vqt']['median']:.1f}; "
              f"max |ours - peer| / max |peer|: vqt {v['vqt_agreement']:.2e}, cqt {v['cqt_agreement']:.2e}; "
              f"leaving out the frames that reach the signal's ends ({v['edge_frames']['vqt']} and "
              f"{v['edge_frames']['cqt']} at each end): vqt {v['vqt_agreement_inside']:.2e}, "
              f"cqt {v['cqt_agreement_inside']:.2e}"
              if "peer_vqt" in v else ""))
    print(f"\nfloor of hcqt (shared FFTs {1e3 * fl['floor_fft']['median']:.1f} ms + halvings "
          f"{1e3 * fl['floor_decimate']['median']:.1f} ms) {1e3 * fl['floor']['median']:.1f} ms; engine, 1 thread "
          f"{1e3 * fl['engine_1']['median']:.1f} ms; engine / floor {fl['engine_1_over_floor']['median']:.2f}")
    print(f"  beyond the floor, for reference: the kernel products alone, in cache, "
          f"{1e3 * fl['products_hot']['median']:.1f} ms; writing the output once into fresh memory "
          f"{1e3 * fl['fresh_output']['median']:.1f} ms; (floor + both) / floor "
          f"{fl['floor_products_output_over_floor']['median']:.2f}")
    print(f"\nhcqt on {m['seconds'] / 60:g} min: output {m['output_bytes'] / MIB:.1f} MiB, peak increase "
          f"{m['peak_increase_bytes'] / MIB:.1f} MiB; budget output + 64 MiB; ratio {m['ratio']:.2f}"
          + ("" if m["exact"] else " (approximate)"))

    worst_channel = max(h["channel_agreement_inside"].values()) if "channel_agreement_inside" in h else None
    rows = [("hcqt / six cqt calls of ours", h["hcqt_over_six"]["median"], 0.5, True),
            ("hcqt: worst channel's agreement with the peer's cqt", worst_channel, 1e-3, True),
            ("peer's six cqt calls / hcqt", h.get("peer_over_hcqt", {}).get("median"), 15.0, False),
            ("hcqt engine / floor", fl["engine_1_over_floor"]["median"], 1.15, True),
            ("peer vqt / ours", v.get("peer_over_vqt", {}).get("median"), 8.0, False),
            ("vqt agreement with peer / cqt agreement with peer", v.get("vqt_agreement") and
             v["vqt_agreement"] / v["cqt_agreement"], 1.0, True),
            ("  the same, away from the signal's ends", v.get("vqt_agreement_inside") and
             v["vqt_agreement_inside"] / v["cqt_agreement_inside"], 1.0, True),
            (f"hcqt {m['seconds'] / 60:g} min: peak / (output + 64 MiB)", m["ratio"], 1.0, True)]
    print("\nTargets")
    result["targets"] = []
    for name, value, bound, at_most in rows:
        met = None if value is None else (value <= bound if at_most else value >= bound)
        state = "not measured" if met is None else "met" if met else "NOT MET"
        value_text = "-" if value is None else f"{value:.3g}"
        print(f"  {state:<13}{name:<56}{value_text:>8} {'<=' if at_most else '>='} {bound:g}")
        result["targets"].append({"target": name, "value": value, "bound": bound, "at_most": at_most, "met": met})
    info["load_average_at_end"] = os.getloadavg()
    args.json.write_text(json.dumps(result, indent=1))
    print(f"\nload average at end {info['load_average_at_end'][0]:.2f}; JSON copy in {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
