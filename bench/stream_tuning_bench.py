"""How many seconds a stream must hear before its tuning estimate is the
whole signal's: synthesised progressions detuned by -40 to +40 cents, the
estimate from the first T seconds against ``estimate_tuning`` of the whole;
then, at the chosen T, the chords of ``ChordStream(sr=sr)`` against the
truth and against ``estimate_chords``.

Pieces of about 30 s from a seed: a key, diatonic chords of 0.5 to 3 s,
voiced in octaves 2 to 5 with a bass, harmonic tones whose partials fall off
at a random rate, every note a few cents off its detuned pitch, some with
vibrato, some pieces with a melody and with rests.

Usage: python bench/stream_tuning_bench.py [N_PIECES [CENTS]]  (CENTS: detune every piece by this)
"""

from __future__ import annotations

import sys

import numpy as np

import vexolin

SR = 22050
ROOTS = ["C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B"]
# Degrees of the major scale and the quality of their triads.
DEGREES = [(0, "maj"), (2, "min"), (4, "min"), (5, "maj"), (7, "maj"), (9, "min")]
PREFIXES = (2.0, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0)


def note(midi: float, n: int, rng: np.random.Generator) -> np.ndarray:
    t = np.arange(n) / SR
    f = 440.0 * 2 ** ((midi - 69) / 12)
    vibrato = rng.uniform(0.0, 0.004) * np.sin(2 * np.pi * rng.uniform(4, 6) * t) if rng.random() < 0.3 else 0.0
    phase = 2 * np.pi * f * np.cumsum(np.ones(n) + vibrato) / SR
    slope = rng.uniform(0.6, 1.6)
    decay = np.exp(-t * rng.uniform(0.0, 1.5))
    return decay * sum(np.sin(k * phase + rng.uniform(0, 2 * np.pi)) / k ** slope
                       for k in range(1, 9) if k * f < SR / 2)


def piece(seed: int, detune: float | None = None) -> tuple[np.ndarray, list[tuple[float, float, str]], float]:
    """The samples, the truth and the detuning in cents (random unless given)."""
    rng = np.random.default_rng(seed)
    cents = rng.uniform(-40.0, 40.0)
    if detune is not None:
        cents = detune
    key = int(rng.integers(12))
    parts, truth, at = [], [], 0.0
    melody = rng.random() < 0.5
    while at < 30.0:
        if rng.random() < 0.08:
            seconds = rng.uniform(0.5, 1.5)
            parts.append(np.zeros(int(seconds * SR)))
            truth.append((at, at + seconds, "N"))
            at += seconds
            continue
        degree, quality = DEGREES[int(rng.integers(len(DEGREES)))]
        root = (key + degree) % 12
        third = 4 if quality == "maj" else 3
        seconds = float(rng.choice([0.5, 1.0, 1.5, 2.0, 3.0]))
        n = int(seconds * SR)
        tones = [36 + root] + [48 + (root + iv) % 12 + 12 * int(rng.integers(0, 2)) for iv in (0, third, 7)]
        if melody:
            tones.append(72 + (root + int(rng.choice([0, third, 7]))) % 12)
        y = sum(note(m + (cents + rng.normal(0, 3)) / 100, n, rng) * rng.uniform(0.5, 1.0) for m in tones)
        fade = np.minimum(1.0, np.minimum(np.arange(n), n - 1 - np.arange(n)) / (0.01 * SR))
        parts.append(0.05 * fade * y)
        truth.append((at, at + seconds, f"{ROOTS[root]}:{quality}"))
        at += seconds
    return np.concatenate(parts).astype(np.float32), truth, cents


def main(n_pieces: int, detune: float | None) -> None:
    import mir_eval

    errors = {t: [] for t in PREFIXES}
    for seed in range(n_pieces):
        y, _, _ = piece(seed, detune)
        whole = vexolin.estimate_tuning(y, sr=SR)
        for t in PREFIXES:
            errors[t].append(abs(vexolin.estimate_tuning(y[: int(t * SR)], sr=SR) - whole) * 100)
    print("first T s against the whole signal, cents: T, median, 95th percentile, largest, share within 2 cents")
    for t in PREFIXES:
        e = np.array(errors[t])
        print(f"  {t:4.1f}  {np.median(e):5.2f}  {np.percentile(e, 95):5.2f}  {e.max():5.2f}  {(e <= 2.0).mean():.2f}")

    def majmin(chords, truth):
        ref_i = np.array([[s, e] for s, e, _ in truth])
        ref_l = [label for _, _, label in truth]
        est_i, est_l = mir_eval.util.adjust_intervals(chords.intervals, chords.labels, ref_i.min(), ref_i.max(),
                                                      "N", "N")
        ivals, ref, est = mir_eval.util.merge_labeled_intervals(ref_i, ref_l, est_i, est_l)
        return mir_eval.chord.weighted_accuracy(mir_eval.chord.majmin(ref, est),
                                                mir_eval.util.intervals_to_durations(ivals))

    print("seed, cents, tuning (stream, offline), majmin (stream at A440, stream estimated, offline), "
          "frames agreeing with estimate_chords")
    rows = []
    for seed in range(n_pieces):
        y, truth, cents = piece(seed, detune)
        offline = vexolin.estimate_chords(y, sr=SR)
        results = []
        for tuning in (0.0, None):
            stream = vexolin.ChordStream(sr=SR, tuning=tuning)
            parts = [stream.push(y[i:i + 512]) for i in range(0, len(y), 512)] + [stream.finish()]
            states = np.concatenate([p.frame_states for p in parts])
            results.append((stream, parts, states))
        live = results[1]
        merged = vexolin.Chords.from_frames(live[2], vocabulary="majmin", sr=SR, hop_length=512,
                                            tuning=live[0].tuning, end=len(y) / SR)
        a440 = vexolin.Chords.from_frames(results[0][2], vocabulary="majmin", sr=SR, hop_length=512,
                                          tuning=0.0, end=len(y) / SR)
        row = (majmin(a440, truth), majmin(merged, truth), majmin(offline, truth),
               float((live[2] == offline.frame_states).mean()))
        rows.append(row)
        print(f"  {seed:3d} {cents:+6.1f}  {live[0].tuning:+.2f} {offline.tuning:+.2f}  "
              f"{row[0]:.3f} {row[1]:.3f} {row[2]:.3f}  {row[3]:.3f}")
    m = np.array(rows)
    print(f"mean: majmin at A440 {m[:, 0].mean():.3f}, estimated {m[:, 1].mean():.3f}, offline {m[:, 2].mean():.3f}; "
          f"agreement with estimate_chords {m[:, 3].mean():.3f} (lowest {m[:, 3].min():.3f})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 40, float(sys.argv[2]) if len(sys.argv) > 2 else None)
