"""Chromagram of a built-in chord progression, through the vexolin package.

Writes `vexolin.example_audio()`, four bars (C major, G major, A minor,
F major) of tones with harmonics, to a WAV file, runs the `vexolin` command
line on it (which prints a text chromagram and draws a PNG), and checks that
each bar's strongest pitch classes are its chord tones.

Usage: demo.py [OUTPUT_DIR]   (default: build/demo)
"""

import os
import subprocess
import sys
import time

import numpy as np
import soundfile

import vexolin

HOP = 512
PROGRESSION = [  # (name, pitch classes) of the example's bars
    ("C", ["C", "E", "G"]),
    ("G", ["G", "B", "D"]),
    ("Am", ["A", "C", "E"]),
    ("F", ["F", "A", "C"]),
]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    wav, png, npy = (os.path.join(out_dir, "chords" + ext) for ext in (".wav", ".png", ".npy"))
    y, sr = vexolin.example_audio()
    soundfile.write(wav, y, sr)
    print(f"wrote {wav}: {len(y)} samples at {sr} Hz ({len(y) / sr:.1f} s)")

    command = ["vexolin", "chroma", wav, "--hop-length", str(HOP), "--text", "--plot", png, "-o", npy]
    print("$ " + " ".join(command), flush=True)
    subprocess.run([sys.executable, "-m", *command], check=True)
    print(f"wrote {png} and {npy}")
    print()

    chroma = np.load(npy)
    start = time.perf_counter()
    again = vexolin.chroma_cqt(vexolin.load(wav)[0], sr=sr, hop_length=HOP)
    print(f"the same from Python: vexolin.chroma_cqt, shape {again.shape}, "
          f"{(time.perf_counter() - start) * 1e3:.1f} ms with loading; equal to the file: "
          f"{np.array_equal(again, chroma)}")
    names = vexolin.chroma_notes()
    frames_per_chord = chroma.shape[1] // len(PROGRESSION)
    for i, (name, tones) in enumerate(PROGRESSION):
        segment = chroma[:, i * frames_per_chord : (i + 1) * frames_per_chord].mean(axis=1)
        top = [names[k] for k in np.argsort(segment)[::-1][:3]]
        expected = sorted(tones)
        print(f"{name:>3}: strongest pitch classes {', '.join(top)} (chord tones {', '.join(expected)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
