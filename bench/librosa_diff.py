"""How vexolin's numbers differ from librosa's on the same signals.

Makes 30 s of chords of harmonic tones (and the same 17 cents sharp, a 44.1
kHz WAV of them, and 10 s of noise), computes vexolin's features here and
librosa's in the peer environment (bench/.peer-venv, `make
bench/.peer-venv/.requirements.stamp`), and prints how far apart they are.
The docs' "Coming from librosa" page quotes this printout.

Usage: .venv/bin/python bench/librosa_diff.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import soundfile

import vexolin

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = os.path.join(HERE, ".peer-venv", "bin", "python")
SR = 22050
PROGRESSION = [(48, 52, 55, 60), (43, 50, 55, 59), (45, 52, 57, 60), (41, 48, 53, 57)]  # C G Am F


def chords(sr: int, cents: float = 0.0, seconds: float = 30.0) -> np.ndarray:
    t = np.arange(2 * sr) / sr
    parts = []
    for i in range(int(seconds // 2)):
        notes = PROGRESSION[i % len(PROGRESSION)]
        tone = sum(np.sin(2 * np.pi * k * 440.0 * 2 ** ((n - 69 + cents / 100) / 12) * t) / k
                   for n in notes for k in range(1, 6))
        parts.append(tone * np.minimum(1.0, 50 * t) * np.exp(-0.8 * t))
    return (0.05 * np.concatenate(parts)).astype(np.float32)


def rel(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


def main() -> None:
    if not os.path.exists(PEER):
        sys.exit("no peer environment: run make bench/.peer-venv/.requirements.stamp first")
    with tempfile.TemporaryDirectory(prefix="vexolin-librosa-") as folder:
        y, sharp = chords(SR), chords(SR, 17.0)
        noise = (0.1 * np.random.default_rng(0).standard_normal(10 * SR)).astype(np.float32)
        np.savez(f"{folder}/signals.npz", sr=SR, chords=y, sharp=sharp, noise=noise,
                 ours_cqt=vexolin.cqt_magnitude(y, sr=SR), ours_chroma=vexolin.chroma_cqt(y, sr=SR, tuning=0.0))
        soundfile.write(f"{folder}/chords44.wav", chords(44100), 44100, subtype="FLOAT")
        subprocess.run([PEER, os.path.join(HERE, "librosa_diff_peer.py"), folder], check=True)
        lr = dict(np.load(f"{folder}/librosa.npz"))
        with open(f"{folder}/librosa.json") as f:
            facts = json.load(f)
        ours_loaded, ours_sr = vexolin.load(f"{folder}/chords44.wav", sr=SR)

    print(f"librosa {facts['version']}, vexolin {vexolin.__version__}")
    for name, signal in (("chords", y), ("noise", noise)):
        ours = vexolin.cqt_magnitude(signal, sr=SR)
        theirs = lr[f"cqt_{name}"]
        loud = theirs > 0.1 * theirs.max()
        ratio = ours[loud] / theirs[loud]
        print(f"cqt_magnitude, {name}: shapes {ours.shape} / {theirs.shape}, relative difference "
              f"{rel(ours, theirs):.4f}, ours/theirs on loud bins median {np.median(ratio):.4f} "
              f"(5-95%: {np.percentile(ratio, 5):.4f} to {np.percentile(ratio, 95):.4f})")
    C = vexolin.cqt(y, sr=SR)
    print(f"cqt (complex), chords: relative difference {rel(C, lr['cqt_complex']):.4f}")
    chroma0 = vexolin.chroma_cqt(y, sr=SR, tuning=0.0)
    theirs = lr["chroma0"]
    print(f"chroma_cqt, tuning 0: shapes {chroma0.shape} / {theirs.shape}, largest difference "
          f"{abs(chroma0 - theirs).max():.4f}, mean {abs(chroma0 - theirs).mean():.5f}, same strongest "
          f"pitch class on {100 * np.mean(chroma0.argmax(0) == theirs.argmax(0)):.2f}% of frames")
    ours_threshold = vexolin.chroma_cqt(y, sr=SR, tuning=0.0, threshold=0.05)
    print(f"chroma_cqt, threshold 0.05: largest difference {abs(ours_threshold - lr['chroma_threshold']).max():.4f}; "
          f"librosa's equals its unscaled chroma with values below 0.05 (absolute) set to 0: "
          f"{np.allclose(lr['chroma_threshold'], lr['chroma_threshold_absolute'])}; the unscaled chroma's largest "
          f"value {lr['chroma_raw'].max():.2f}, vexolin's {vexolin.chroma_cqt(y, sr=SR, tuning=0.0, norm=None).max():.2f}")
    tuning = vexolin.estimate_tuning(sharp, sr=SR)
    print(f"17 cents sharp: vexolin.estimate_tuning {tuning:+.2f} (semitones); librosa.estimate_tuning "
          f"{facts['tuning_sharp_12']:+.3f} at 12 bins per octave, {facts['tuning_sharp_36']:+.3f} at 36 "
          f"(fractions of a bin: {100 * facts['tuning_sharp_12']:+.1f} and "
          f"{100 / 3 * facts['tuning_sharp_36']:+.1f} cents)")
    same = np.array_equal(lr["chroma_sharp_default"], lr["chroma_sharp_at_36"])
    print(f"librosa's chroma_cqt default equals its chroma_cqt(tuning=estimate_tuning(bins_per_octave=36)): {same}")
    print(f"in tune: librosa.estimate_tuning at 36 bins per octave {facts['tuning_chords_36']:+.3f} "
          f"({100 / 3 * facts['tuning_chords_36']:+.1f} cents); vexolin {vexolin.estimate_tuning(y, sr=SR):+.2f}")
    ours_sharp, used = vexolin.chroma_cqt(sharp, sr=SR, return_tuning=True)
    for label, theirs in (("default (estimated)", lr["chroma_sharp_default"]), ("tuning 0", lr["chroma_sharp0"])):
        print(f"chroma_cqt of the sharp chords, librosa {label} against vexolin's default (tuning {used:+.2f}): "
              f"largest difference {abs(ours_sharp - theirs).max():.4f}, mean {abs(ours_sharp - theirs).mean():.5f}")
    cens = vexolin.chroma_cens(y, sr=SR, tuning=0.0)
    print(f"chroma_cens: largest difference {abs(cens - lr['cens']).max():.1e}, "
          f"mean {abs(cens - lr['cens']).mean():.1e}")
    print(f"load at 22050 of a 44.1 kHz file: rates {ours_sr} / {facts['loaded_sr']}, samples "
          f"{len(ours_loaded)} / {len(lr['loaded'])}, largest difference "
          f"{abs(ours_loaded - lr['loaded']).max():.2e}")
    db = vexolin.amplitude_to_db(vexolin.cqt_magnitude(y, sr=SR), ref=np.max)
    print(f"amplitude_to_db(ref=np.max) of vexolin's CQT: largest difference {abs(db - lr['db']).max():.3f} dB")
    print(f"cqt_frequencies: largest relative difference "
          f"{abs(vexolin.cqt_frequencies(84) / lr['freqs'] - 1).max():.1e}; C1 {vexolin.C1_HZ} / {facts['c1']}")
    print(f"times_like equal: {np.array_equal(vexolin.times_like(chroma0, sr=SR), lr['times'])}")
    for aggregate, key in ((np.mean, "sync"), (np.median, "sync_median")):
        ours_sync = vexolin.sync(chroma0, [10, 100, 400], aggregate=aggregate)
        print(f"sync of the same chroma at [10, 100, 400], {aggregate.__name__}: shapes {ours_sync.shape} / "
              f"{lr[key].shape}, largest difference {abs(ours_sync - lr[key]).max():.2e}")
    print(f"hz_to_note(261.63, 277.18, 440): {vexolin.hz_to_note([261.63, 277.18, 440.0])} / {facts['notes']}")
    print(f"librosa has: {facts['has']}")


if __name__ == "__main__":
    main()
