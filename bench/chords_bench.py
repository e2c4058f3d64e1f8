"""Chord recognition on fluidsynth renders, scored as the field scores it.

- renders (bench/chord_renders.py, into build/chord-renders/): 48 pieces of
  major and minor triads (seeds 0-47) and 24 with sevenths too (seeds
  100-123), about 30 s each, with their ground truth as `.lab` beside them.
  The model's constants were chosen on other seeds (1000-1047, 2000-2023);
- ours: `vexolin.estimate_chords`, both vocabularies ("majmin" and
  "sevenths") on both sets;
- plain template matching: the 24 triads' 0/1 templates against
  `vexolin.chroma_cqt` (estimated tuning), the best of every frame, no
  smoothing, `N` only where a frame is all 0;
- the NNLS-chroma HMM system (Chordino, PyPI's chord-extractor with its
  defaults) in its own CPython 3.11 environment, bench/.chordino-venv
  (bench/setup_chordino_env.sh), run for its output only;
- scores: mir_eval's duration-weighted recall over each set (`majmin`,
  `root`, `sevenths`, `mirex`): on the triads' set `sevenths` counts a
  triad labelled as a seventh chord wrong;
- cost: `estimate_chords` against `chroma_cqt` with estimated tuning on 3
  minutes (renders end to end), one thread and all cores, interleaved;
- keys: `vexolin.estimate_key` on bench/key_renders.py's evaluation set
  (tonal progressions with cadences and modulations, MuseScore_General),
  the home key scored with `mir_eval.key.weighted_score`, beside the
  profile correlation alone;
- live: `ChordStream` (lag 1 s) against `estimate_chords` on the renders,
  frame by frame, given the whole signal's tuning and estimating its own
  from its first 5 s, its latency, and its memory over an hour of pushes.

Usage: bench/chords_bench.py [--quick] [--no-chordino] [--json PATH] [--sevenths-vocabulary]
Run by `make bench-chords`.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import mir_eval  # noqa: E402
import numpy as np  # noqa: E402

import vexolin  # noqa: E402
from vexolin._chord_model import ROOTS  # noqa: E402

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
import chord_renders  # noqa: E402
from probe import status_kib  # noqa: E402

RENDERS = ROOT / "build" / "chord-renders"
CHORDINO_PYTHON = BENCH / ".chordino-venv" / "bin" / "python"
ALL_CORES = os.cpu_count() or 1


# --- scoring ---------------------------------------------------------------

def score(lab: Path, intervals: np.ndarray, labels: list[str], metrics: tuple[str, ...]) -> dict:
    """Per metric: the recall on this file and the duration it counts."""
    ref_intervals, ref_labels = mir_eval.io.load_labeled_intervals(str(lab))
    est_intervals, est_labels = mir_eval.util.adjust_intervals(
        np.asarray(intervals, dtype=float), list(labels), ref_intervals.min(), ref_intervals.max(),
        mir_eval.chord.NO_CHORD, mir_eval.chord.NO_CHORD)
    merged, ref, est = mir_eval.util.merge_labeled_intervals(ref_intervals, ref_labels, est_intervals, est_labels)
    durations = mir_eval.util.intervals_to_durations(merged)
    out = {}
    for metric in metrics:
        comparison = getattr(mir_eval.chord, metric)(ref, est)
        out[metric] = (float(mir_eval.chord.weighted_accuracy(comparison, durations)),
                       float(durations[comparison >= 0].sum()))
    return out


def pooled(results: list[dict]) -> dict:
    """Duration-weighted recall over files."""
    out = {}
    for metric in results[0]:
        total = sum(r[metric][1] for r in results)
        out[metric] = sum(r[metric][0] * r[metric][1] for r in results) / total if total else float("nan")
    return out


# --- systems ---------------------------------------------------------------

def templates() -> tuple[np.ndarray, list[str]]:
    rows, names = [], []
    for quality, third in (("maj", 4), ("min", 3)):
        for root in range(12):
            t = np.zeros(12)
            t[[root, (root + third) % 12, (root + 7) % 12]] = 1.0
            rows.append(t / np.linalg.norm(t))
            names.append(f"{ROOTS[root]}:{quality}")
    return np.array(rows), names


def plain_templates(y: np.ndarray, sr: int) -> tuple[np.ndarray, list[str]]:
    """The best of the 24 triad templates for every chroma frame, no smoothing."""
    chroma = vexolin.chroma_cqt(y, sr=sr)
    rows, names = templates()
    best = np.argmax(rows @ chroma, axis=0)
    labels = [names[b] if chroma[:, i].max() > 0 else "N" for i, b in enumerate(best)]
    edges = np.maximum((np.arange(len(labels) + 1) - 0.5) * 512 / sr, 0.0)
    edges[-1] = len(y) / sr
    return np.stack([edges[:-1], edges[1:]], axis=1), labels


def chordino_label(name: str) -> str:
    """Chordino's chord names in mir_eval's syntax ("F#m7/A" -> "F#:min7/b3"); "X" for others."""
    import re

    qualities = {"": "maj", "m": "min", "7": "7", "maj7": "maj7", "m7": "min7", "6": "maj6", "m6": "min6",
                 "dim": "dim", "dim7": "dim7", "aug": "aug", "m7b5": "hdim7", "sus4": "sus4", "sus2": "sus2",
                 "9": "9", "maj9": "maj9", "m9": "min9"}
    if name == "N":
        return "N"
    match = re.fullmatch(r"([A-G][#b]*)([^/]*)(?:/([A-G][#b]*))?", name)
    if not match or match.group(2) not in qualities:
        return "X"
    root, quality, bass = match.groups()
    label = f"{root}:{qualities[quality]}"
    if bass:
        steps = (mir_eval.chord.pitch_class_to_semitone(bass) - mir_eval.chord.pitch_class_to_semitone(root)) % 12
        label += "/" + ("1", "b2", "2", "b3", "3", "4", "b5", "5", "b6", "6", "b7", "7")[steps]
    return label


def chordino(paths: list[Path]) -> dict[str, list]:
    done = subprocess.run([str(CHORDINO_PYTHON), str(BENCH / "chordino_worker.py"), *map(str, paths)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def chordino_segments(changes: list, duration: float) -> tuple[np.ndarray, list[str]]:
    times = [float(t) for _, t in changes]
    labels = ["N"] + [chordino_label(c) for c, _ in changes]
    starts = [0.0] + times
    ends = times + [duration]
    return np.array([[s, max(s, e)] for s, e in zip(starts, ends)]), labels


# --- the bench -------------------------------------------------------------

def render_sets(quick: bool) -> dict[str, list]:
    sets = {"majmin": chord_renders.pieces("majmin", range(0, 12 if quick else 48)),
            "sevenths": chord_renders.pieces("sevenths", range(100, 106 if quick else 124))}
    out = {}
    for name, pieces in sets.items():
        out[name] = [(p, *chord_renders.render(p, RENDERS / name)) for p in pieces]
    return out


def accuracy(sets: dict[str, list], use_chordino: bool) -> dict:
    result: dict = {}
    for name, items in sets.items():
        metrics = ("majmin", "root", "sevenths", "mirex")
        systems: dict[str, list] = {"ours (majmin)": [], "ours (sevenths)": [], "plain templates": []}
        by_texture: dict[str, list] = {}
        for piece, wav, lab in items:
            y, sr = vexolin.load(str(wav))
            chords = vexolin.estimate_chords(y, sr=sr)
            r = score(lab, chords.intervals, chords.labels, metrics)
            systems["ours (majmin)"].append(r)
            by_texture.setdefault(piece.texture, []).append(r)
            systems["plain templates"].append(score(lab, *plain_templates(y, sr), metrics))
            sev = vexolin.estimate_chords(y, sr=sr, vocabulary="sevenths")
            systems["ours (sevenths)"].append(score(lab, sev.intervals, sev.labels, metrics))
        if use_chordino:
            started = time.perf_counter()
            changes = chordino([wav for _, wav, _ in items])
            systems["Chordino (NNLS chroma, HMM)"] = []
            for piece, wav, lab in items:
                import soundfile  # type: ignore[import-untyped]

                duration = soundfile.info(str(wav)).duration
                systems["Chordino (NNLS chroma, HMM)"].append(
                    score(lab, *chordino_segments(changes[str(wav)], duration), metrics))
            result.setdefault("chordino_seconds", {})[name] = time.perf_counter() - started
        seconds = sum(float(mir_eval.io.load_labeled_intervals(str(lab))[0].max()) for _, _, lab in items)
        result[name] = {"files": len(items), "seconds": seconds,
                        "systems": {k: pooled(v) for k, v in systems.items()},
                        "ours by texture": {k: pooled(v) for k, v in by_texture.items()}}
    return result


def cost(sets: dict[str, list], repeats: int) -> dict:
    """estimate_chords against chroma_cqt with estimated tuning, 3 minutes, taking turns."""
    pieces = [vexolin.load(str(wav))[0] for _, wav, _ in sets["majmin"]]
    sr = chord_renders.SR
    y = np.concatenate(pieces * (1 + int(180 * sr) // sum(len(p) for p in pieces)))[: int(180 * sr)]
    out = {}
    for workers in (1, ALL_CORES):
        calls = {"chroma_cqt": lambda: vexolin.chroma_cqt(y, sr=sr, workers=workers),
                 "estimate_chords": lambda: vexolin.estimate_chords(y, sr=sr, workers=workers)}
        times: dict[str, list[float]] = {k: [] for k in calls}
        for call in calls.values():
            call()
        for _ in range(repeats):
            for k, call in calls.items():
                started = time.perf_counter()
                call()
                times[k].append(time.perf_counter() - started)
        medians = {k: statistics.median(v) for k, v in times.items()}
        out[f"workers={workers}"] = {**medians, "ratio": medians["estimate_chords"] / medians["chroma_cqt"]}
    return out


def live(sets: dict[str, list], hour_seconds: float) -> dict:
    agree = agree_own = total = 0
    block = 512
    for _, wav, _ in sets["majmin"] + sets["sevenths"]:
        y, sr = vexolin.load(str(wav))
        tuning = vexolin.estimate_tuning(y, sr=sr)
        whole = vexolin.estimate_chords(y, sr=sr, tuning=tuning).frame_labels
        stream = vexolin.ChordStream(sr=sr, tuning=tuning)
        parts = [stream.push(y[i: i + block]) for i in range(0, len(y), block)] + [stream.finish()]
        streamed = [label for part in parts for label in part.frame_labels]
        assert len(streamed) == len(whole)
        agree += sum(a == b for a, b in zip(streamed, whole))
        total += len(whole)
        # As a default stream runs: the tuning estimated from its first 5 s, against the whole signal's.
        own = vexolin.ChordStream(sr=sr)
        parts = [own.push(y[i: i + block]) for i in range(0, len(y), block)] + [own.finish()]
        agree_own += sum(a == b for a, b in zip((label for part in parts for label in part.frame_labels), whole))
    out: dict = {"agreement": agree / total, "agreement_own_tuning": agree_own / total, "frames": total,
                 "latency_samples": stream.latency_samples, "latency": stream.latency,
                 "lag_frames": stream.lag_frames}
    # Memory: an hour of pushes of 4096 samples (the renders over and over).
    pieces = [vexolin.load(str(wav))[0] for _, wav, _ in sets["majmin"][:8]]
    loop = np.concatenate(pieces)
    stream = vexolin.ChordStream(sr=chord_renders.SR)
    marks, pushed, segments = [], 0, 0
    step = 4096
    started = time.perf_counter()
    target = int(hour_seconds * chord_renders.SR)
    next_mark = 0
    while pushed < target:
        at = pushed % (len(loop) - step)
        segments += len(stream.push(loop[at: at + step]))
        pushed += step
        if pushed >= next_mark:
            marks.append((pushed / chord_renders.SR, status_kib("VmRSS")))
            next_mark += int(hour_seconds * chord_renders.SR / 6)
    stream.finish()
    out["hour"] = {"seconds_of_audio": pushed / chord_renders.SR, "wall_seconds": time.perf_counter() - started,
                   "rss_kib": marks, "segments": segments}
    return out


def keys() -> dict:
    """The home keys of bench/key_renders.py's evaluation set, scored with mir_eval.key."""
    import key_renders

    items = key_renders.render_set(key_renders.EVALUATION, RENDERS / "keys")
    out: dict = {"files": len(items)}
    chroma = {wav: vexolin.chroma_cqt(vexolin.load(str(wav))[0], sr=chord_renders.SR) for wav, _, _ in items}
    for method in ("cadence", "profile"):
        out[method] = key_renders.weighted_score(items, lambda w: vexolin.estimate_key(chroma[w], method=method).name)
    return out


def sevenths_vocabulary(path: Path) -> int:
    """Rescore "ours (sevenths)" on both sets, leaving every other figure of the JSON as it was."""
    result = json.loads(path.read_text())
    for name, items in render_sets(False).items():
        metrics = ("majmin", "root", "sevenths", "mirex")
        runs = []
        for _, wav, lab in items:
            y, sr = vexolin.load(str(wav))
            sev = vexolin.estimate_chords(y, sr=sr, vocabulary="sevenths")
            runs.append(score(lab, sev.intervals, sev.labels, metrics))
        before = result["accuracy"][name]["systems"]["ours (sevenths)"]
        after = result["accuracy"][name]["systems"]["ours (sevenths)"] = pooled(runs)
        print(f"{name} set, ours (sevenths): " + ", ".join(f"{m} {before[m]:.3f} -> {after[m]:.3f}" for m in metrics))
    path.write_text(json.dumps(result, indent=1))
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a quarter of the renders, a 6-minute 'hour'")
    parser.add_argument("--no-chordino", action="store_true", help="skip the NNLS-chroma HMM system")
    parser.add_argument("--json", type=Path, default=BENCH / "chords_results.json")
    parser.add_argument("--sevenths-vocabulary", action="store_true",
                        help="score only ours with the sevenths vocabulary, and update its figures in the JSON")
    args = parser.parse_args()
    if args.sevenths_vocabulary:
        if args.quick:  # the JSON's other figures are the full sets'
            parser.error("--sevenths-vocabulary rescores the full sets; drop --quick")
        return sevenths_vocabulary(args.json)
    use_chordino = not args.no_chordino
    if use_chordino and not CHORDINO_PYTHON.exists():
        print(f"chords_bench: no Chordino environment at {CHORDINO_PYTHON} (bench/setup_chordino_env.sh); "
              "scoring without it")
        use_chordino = False
    sets = render_sets(args.quick)
    result: dict = {"accuracy": accuracy(sets, use_chordino)}
    for name in ("majmin", "sevenths"):
        a = result["accuracy"][name]
        print(f"{name} set: {a['files']} renders, {a['seconds'] / 60:.1f} min; duration-weighted recall")
        metrics = list(next(iter(a["systems"].values())))
        print(f"  {'system':<30}" + "".join(f"{m:>10}" for m in metrics))
        for system, scores in a["systems"].items():
            print(f"  {system:<30}" + "".join(f"{scores[m]:>10.3f}" for m in metrics))
        print("  ours (majmin) by texture: " + ", ".join(f"{k} {v['majmin']:.3f}"
                                                         for k, v in a["ours by texture"].items()))
    result["keys"] = keys()
    k = result["keys"]
    print(f"keys: {k['files']} renders of tonal progressions, mir_eval.key weighted score of the home key: "
          f"ours {k['cadence']:.3f}, profile correlation alone {k['profile']:.3f}")
    result["cost"] = cost(sets, 3 if args.quick else 7)
    for k, c in result["cost"].items():
        print(f"3 minutes at 22.05 kHz, {k}: chroma_cqt (estimated tuning) {c['chroma_cqt'] * 1e3:.0f} ms, "
              f"estimate_chords {c['estimate_chords'] * 1e3:.0f} ms: {c['ratio']:.2f}x (target <= 1.3x)")
    result["live"] = live(sets, 360.0 if args.quick else 3600.0)
    lv = result["live"]
    print(f"ChordStream, lag {lv['lag_frames']} frames: same label as estimate_chords on "
          f"{100 * lv['agreement']:.2f}% of {lv['frames']} frames (target >= 95%); a frame's chord comes "
          f"{lv['latency_samples']} samples ({lv['latency']:.2f} s) after its centre")
    print(f"  estimating its own tuning from its first 5 s (the default): {100 * lv['agreement_own_tuning']:.2f}%")
    hour = lv["hour"]
    print(f"  {hour['seconds_of_audio'] / 60:.0f} min pushed in blocks of 4096 in {hour['wall_seconds']:.0f} s; "
          "resident memory (MiB) by minute: " + ", ".join(f"{s / 60:.0f}: {kib / 1024:.1f}"
                                                         for s, kib in hour["rss_kib"]))
    args.json.write_text(json.dumps(result, indent=1))
    print(f"\nJSON copy in {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
