"""Chromagram of a built-in chord progression, computed with _vexolin.

Synthesises four bars (C major, G major, A minor, F major) of tones with
harmonics, computes their CQT magnitudes and chroma features, prints how
long each call took and draws the chromagram as text.
"""

import sys
import time

import numpy as np

import _vexolin

SR = 22050
HOP = 512
NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
PROGRESSION = [  # (name, MIDI notes)
    ("C", [48, 52, 55, 60]),
    ("G", [43, 50, 55, 59]),
    ("Am", [45, 52, 57, 60]),
    ("F", [41, 48, 53, 57]),
]
SECONDS_PER_CHORD = 2.0
SHADES = " .:-=+*#%@"


def synthesise():
    t = np.arange(int(SR * SECONDS_PER_CHORD)) / SR
    envelope = np.minimum(1.0, t / 0.02) * np.exp(-t * 0.8)
    bars = []
    for _, notes in PROGRESSION:
        bar = np.zeros_like(t)
        for note in notes:
            f0 = 440.0 * 2.0 ** ((note - 69) / 12.0)
            for h in range(1, 6):  # five harmonics with falling amplitude
                bar += np.sin(2 * np.pi * h * f0 * t) / h
        bars.append(bar * envelope)
    y = np.concatenate(bars)
    return (y / np.max(np.abs(y))).astype(np.float32)


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - start


def main():
    y = synthesise()
    print(f"signal: {len(y)} samples at {SR} Hz ({len(y) / SR:.1f} s), hop {HOP}")

    mag, t_first = timed(_vexolin.cqt_magnitude, y, SR, HOP, 32.70319566257483, 84, 12)
    mag, t_mag = timed(_vexolin.cqt_magnitude, y, SR, HOP, 32.70319566257483, 84, 12)
    cplx, t_cplx = timed(_vexolin.cqt_complex, y, SR, HOP, 32.70319566257483, 84, 12)
    chroma, t_chroma = timed(_vexolin.chroma_cqt, y, SR, HOP, 36, 7, 12, 0.0)
    print(f"cqt_magnitude: shape {mag.shape}, first call {t_first * 1e3:.1f} ms (builds kernels), "
          f"cached {t_mag * 1e3:.1f} ms")
    print(f"cqt_complex:   shape {cplx.shape}, {t_cplx * 1e3:.1f} ms")
    print(f"chroma_cqt:    shape {chroma.shape}, {t_chroma * 1e3:.1f} ms (36 bins per octave, 7 octaves)")

    # One text column per quarter second, averaged over its frames.
    per_column = max(1, int(round(0.25 * SR / HOP)))
    n_columns = chroma.shape[1] // per_column
    cols = chroma[:, : n_columns * per_column].reshape(12, n_columns, per_column).mean(axis=2)
    print()
    header = "".join(name.ljust(int(SECONDS_PER_CHORD * 4)) for name, _ in PROGRESSION)
    print("     " + header)
    for row in range(11, -1, -1):
        cells = "".join(SHADES[min(len(SHADES) - 1, int(v * len(SHADES)))] for v in cols[row])
        print(f"{NAMES[row]:>3}  {cells}")
    print()

    frames_per_chord = chroma.shape[1] // len(PROGRESSION)
    for i, (name, notes) in enumerate(PROGRESSION):
        segment = chroma[:, i * frames_per_chord : (i + 1) * frames_per_chord].mean(axis=1)
        top = [NAMES[k] for k in np.argsort(segment)[::-1][:3]]
        expected = sorted({NAMES[n % 12] for n in notes})
        print(f"{name:>3}: strongest pitch classes {', '.join(top)} (chord tones {', '.join(expected)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
