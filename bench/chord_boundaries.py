"""Why the majmin model's chord changes come out late on fast harmonic
rhythm: a diagnosis on bench/fast_progressions.py's renders.

For the split's renders (the fitting split by default) it reports:

- timing: every reference change between two different chords whose new
  chord the estimate enters within 0.5 s, and how far off it does so
  (median and mean, and the share more than 50 ms late or early);
- the wrong time on a chord's span that still shows the chord before,
  split into spans whose chord is then found (a boundary placed late) and
  spans whose chord is never found (a change missed);
- of the changes missed, those whose chord out-scores, summed over its
  span, the states the path holds there, but by less than two switch costs
  (the decoder's cost keeps them out), and those it does not (the frame
  scores miss them);
- the same timing with the bass term off (is the long bass kernels' smear
  to blame?), with the switch cost halved (the decoder's cost?), and, on
  the FluidR3_GM fitting renders, rendered again with fluidsynth's reverb
  and chorus off (the renders' decay?);
- a refinement after decoding that moves each boundary between two chords,
  within +-N frames, to where splitting best fits the two chords' scores
  (treble only, or all), without adding or removing a change.

Usage: bench/chord_boundaries.py [--eval]
"""

from __future__ import annotations

import dataclasses
import subprocess
import sys
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import chord_fit  # noqa: E402
import chord_renders  # noqa: E402
import fast_progressions as fp  # noqa: E402
from chords_bench import pooled, score  # noqa: E402

import vexolin  # noqa: E402
from vexolin import _chord_model as cm  # noqa: E402
from vexolin import _native  # noqa: E402

HOP = 512
Span = tuple[float, float, str]


def reference(lab: Path) -> list[Span]:
    return [(float(a), float(b), n.strip()) for a, b, n in (line.split("\t") for line in lab.read_text().splitlines())]


def scored(p: chord_fit.Piece, m: cm.Model) -> tuple[cm.Frames, np.ndarray, np.ndarray]:
    """The frames, their scores, and their scores without the bass term."""
    frames = cm.features_in_chunks(p.magnitudes, cm.layout(p.sr), m, cm.drop_frames(m, p.sr, HOP))
    tables = cm._tables(m, cm._scale(p.sr, HOP))
    return (frames, cm.scores(frames.treble, frames, None, m, tables),
            cm.scores(frames.treble, frames, None, dataclasses.replace(m, bass=0.0), tables))


def refine(path: np.ndarray, s: np.ndarray, window: int) -> np.ndarray:
    """Each boundary between two states moved, within +-window frames and
    never past its neighbours, to the split that best fits the two states'
    scores ``s``; ties keep it where it was."""
    out = path.copy()
    change = np.flatnonzero(np.diff(path)) + 1
    lowest = 0
    for i, t in enumerate(change):
        a, b = int(path[t - 1]), int(path[t])
        after = int(change[i + 1]) if i + 1 < len(change) else len(path)
        lo, hi = max(lowest, t - window), min(after - 1, t + window)
        if hi > lo:
            d = s[b, lo:hi] - s[a, lo:hi]
            tail = np.concatenate([np.cumsum(d[::-1])[::-1], [0.0]])  # tail[k]: b from lo + k on
            gain = tail - tail[t - lo]
            best = np.flatnonzero(gain >= gain.max() - 1e-12) + lo
            c = int(best[np.argmin(np.abs(best - t))])
            out[min(c, t):max(c, t)] = b if c < t else a
            t = c
        lowest = t + 1
    return out


def offsets(ref: list[Span], c: vexolin.Chords) -> list[float]:
    """Seconds from each reference change to the nearest estimated entry into its chord (within 0.5 s)."""
    starts, names = c.intervals[1:, 0], [fp.root_quality(label) for label in c.labels[1:]]
    out = []
    for (_, _, before), (r, _, name) in zip(ref, ref[1:]):
        a, b = fp.root_quality(before), fp.root_quality(name)
        if a is None or b is None or a == b:
            continue
        near = [t - r for t, e in zip(starts, names) if e == b and abs(t - r) < 0.5]
        if near:
            out.append(min(near, key=abs))
    return out


def late_and_missed(ref: list[Span], path: np.ndarray, s: np.ndarray, cost: np.ndarray, sr: float,
                    labels: tuple[str, ...]) -> dict[str, float]:
    """Seconds late on chords then found or never found; changes missed, by cause."""
    index = {fp.root_quality(label): i for i, label in enumerate(labels[:-1])}
    times = np.arange(len(path)) * HOP / sr
    out = dict.fromkeys(("late, then found", "late, never found", "changes", "missed", "missed: switch cost",
                         "missed: scores"), 0.0)
    for (_, _, before), (start, end, name) in zip(ref, ref[1:]):
        a, b = fp.root_quality(before), fp.root_quality(name)
        span = np.flatnonzero((times >= start) & (times < end))
        if a is None or b is None or a == b or not len(span):
            continue
        held = [fp.root_quality(labels[k]) for k in path[span]]
        found = b in held
        late = sum(h == a for h in held) * HOP / sr
        out["late, then found" if found else "late, never found"] += late
        out["changes"] += 1
        if not found:
            out["missed"] += 1
            margin = s[index[b], span].sum() - s[path[span], span].sum()
            out["missed: switch cost" if 0 < margin < 2 * cost[span].min() else "missed: scores"] += 1
    return out


def run(pieces: list[chord_fit.Piece], m: cm.Model, window: int = 0, view: str = "treble",
        breakdown: bool = False) -> str:
    results, found, totals = [], [], {}
    for p in pieces:
        frames, s, treble = scored(p, m)
        cost = cm.switch_cost(frames.onset, m)
        path = _native.chord_path(s, cost)
        if window:
            path = refine(path, treble if view == "treble" else s, window)
        c = vexolin.Chords.from_frames(path, vocabulary="majmin", sr=p.sr, hop_length=HOP, tuning=p.tuning,
                                       end=p.end)
        ref = reference(p.lab)
        results.append(score(p.lab, c.intervals, c.labels, ("majmin", "root")))
        found += offsets(ref, c)
        if breakdown:
            for k, v in late_and_missed(ref, path, s, cost, p.sr, m.labels).items():
                totals[k] = totals.get(k, 0.0) + v
    r, o = pooled(results), np.array(found)
    line = (f"majmin {r['majmin']:.3f} root {r['root']:.3f} | {len(o)} changes entered within 0.5 s: median "
            f"{1000 * np.median(o):+.0f} ms, mean {1000 * o.mean():+.0f} ms, {np.mean(o > 0.05):.0%} over 50 ms "
            f"late, {np.mean(o < -0.05):.0%} over 50 ms early")
    if breakdown:
        line += "\n    " + ", ".join(f"{k} {v:.0f}" + (" s" if k.startswith("late") else "")
                                     for k, v in totals.items())
    return line


def dry_fluidr3() -> list[chord_fit.Piece]:
    """The FluidR3_GM fitting renders again with fluidsynth's reverb and chorus off."""
    folder = fp.RENDERS / "fluidr3" / "fast-dry"
    folder.mkdir(parents=True, exist_ok=True)
    out = []
    for seed in fp.FIT[1]:
        piece = fp.compose(seed)
        _, lab = chord_renders.render(piece, fp.RENDERS / "fluidr3" / "fast", fp.FONTS["fluidr3"])
        mid, wav = folder / f"{piece.name}.mid", folder / f"{piece.name}.wav"
        if not wav.exists():
            mid.write_bytes(chord_renders.midi(piece))
            subprocess.run(["fluidsynth", "-ni", "-R", "0", "-C", "0", "-g", "0.5", "-r", str(chord_renders.SR),
                            "-F", str(wav), fp.FONTS["fluidr3"], str(mid)], check=True, capture_output=True)
        out.append(chord_fit.Piece("majmin", wav, lab))
    return out


def main() -> int:
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--eval", action="store_true", help="the evaluation split instead of the fitting split")
    args = parser.parse_args()
    split = fp.EVALUATION if args.eval else fp.FIT
    pieces = [chord_fit.Piece(*r) for r in fp.rendered(*split)]
    m = cm.model("majmin")
    print(f"{'evaluation' if args.eval else 'fitting'} split, {len(pieces)} renders, majmin model")
    print("  as it is:        ", run(pieces, m, breakdown=True), flush=True)
    print("  bass term off:   ", run(pieces, dataclasses.replace(m, bass=0.0)), flush=True)
    print("  switch cost x0.5:", run(pieces, dataclasses.replace(m, switch=m.switch / 2), breakdown=True), flush=True)
    if not args.eval:
        wet = [p for p in pieces if p.lab.parent.parent.name == "fluidr3"]
        print("  FluidR3_GM as rendered:    ", run(wet, m), flush=True)
        print("  FluidR3_GM, no reverb/chorus:", run(dry_fluidr3(), m), flush=True)
    for window in (2, 4, 8):
        for view in ("treble", "all"):
            print(f"  refined +-{window} frames ({view} scores):", run(pieces, m, window, view), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
