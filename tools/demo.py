"""Chromagram of a built-in chord progression, through the vexolin package.

Synthesises four bars (C major, G major, A minor, F major) of tones with
harmonics, writes them to a WAV file, runs the `vexolin` command line on it
(which prints a text chromagram and draws a PNG), and checks that each bar's
strongest pitch classes are its chord tones.

Usage: demo.py [OUTPUT_DIR]   (default: build/demo)
"""

import os
import subprocess
import sys
import time

import numpy as np
import soundfile

import vexolin

SR = 22050
HOP = 512
PROGRESSION = [  # (name, MIDI notes)
    ("C", [48, 52, 55, 60]),
    ("G", [43, 50, 55, 59]),
    ("Am", [45, 52, 57, 60]),
    ("F", [41, 48, 53, 57]),
]
SECONDS_PER_CHORD = 2.0


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


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    wav, png, npy = (os.path.join(out_dir, "chords" + ext) for ext in (".wav", ".png", ".npy"))
    y = synthesise()
    soundfile.write(wav, y, SR)
    print(f"wrote {wav}: {len(y)} samples at {SR} Hz ({len(y) / SR:.1f} s)")

    command = ["vexolin", "chroma", wav, "--hop-length", str(HOP), "--text", "--plot", png, "-o", npy]
    print("$ " + " ".join(command), flush=True)
    subprocess.run([sys.executable, "-m", *command], check=True)
    print(f"wrote {png} and {npy}")
    print()

    chroma = np.load(npy)
    start = time.perf_counter()
    again = vexolin.chroma_cqt(vexolin.load(wav)[0], sr=SR, hop_length=HOP)
    print(f"the same from Python: vexolin.chroma_cqt, shape {again.shape}, "
          f"{(time.perf_counter() - start) * 1e3:.1f} ms with loading; equal to the file: "
          f"{np.array_equal(again, chroma)}")
    names = vexolin.chroma_notes()
    frames_per_chord = chroma.shape[1] // len(PROGRESSION)
    for i, (name, notes) in enumerate(PROGRESSION):
        segment = chroma[:, i * frames_per_chord : (i + 1) * frames_per_chord].mean(axis=1)
        top = [names[k] for k in np.argsort(segment)[::-1][:3]]
        expected = sorted({names[n % 12] for n in notes})
        print(f"{name:>3}: strongest pitch classes {', '.join(top)} (chord tones {', '.join(expected)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
