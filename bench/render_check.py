"""Tuning and keys on cadences rendered by a sound-font synthesiser.

Sampled instruments are closer to recordings than synthetic harmonic tones:
pianos are stretch-tuned, strings and organs have their own partials and
sample tunings. Writes small MIDI files (a pitch bend moves every note by a
known number of cents), renders them with fluidsynth and the General MIDI
sound font of Debian's fluid-soundfont-gm (`make bench-render` installs
both), and reports:

- the estimated tuning of cadences in C major, A minor and G major rendered
  on piano, strings and organ, shifted by -45 to +45 cents, and the tuning of
  each instrument's A4 sample measured directly (a long FFT); then on 16
  more instruments, how far the estimate moves from the unshifted one's
  plus the shift (shifts every 5 cents), the largest over all 19;
- the key of I-IV-V-I and i-iv-V-i cadences in all 24 keys, on piano and on
  strings, with each key profile;
- how often the chroma of 48 piano chords shifted by a few amounts, with the
  estimated tuning, has the same strongest pitch class as the unshifted
  chords' chroma (and the same with tuning=0.0).

Usage: bench/render_check.py [--soundfont PATH]
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np

import vexolin
from vexolin._key import key_of

SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
SR = 22050
INSTRUMENTS = {"piano": 0, "organ": 19, "strings": 48}
# More General MIDI instruments for the tuning's shift check.
MORE_INSTRUMENTS = {"bright piano": 1, "electric piano": 4, "vibraphone": 11, "accordion": 21, "guitar": 24,
                    "cello": 42, "violin": 40, "harp": 46, "choir": 52, "trumpet": 56, "brass": 61,
                    "alto sax": 65, "oboe": 68, "clarinet": 71, "flute": 73, "pad": 89}


def _vlq(n: int) -> bytes:
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(reversed(out))


def midi(chords: list[tuple[int, ...]], program: int, cents: float, ticks: int = 480, beats: int = 2) -> bytes:
    """One track: the program, a pitch bend of `cents` (range +-2 semitones), a chord every `beats` beats (120 bpm)."""
    events = bytearray(_vlq(0) + bytes([0xC0, program]))
    bend = max(0, min(16383, round(8192 + cents / 200 * 8192)))
    events += _vlq(0) + bytes([0xE0, bend & 0x7F, bend >> 7])
    for chord in chords:
        for n in chord:
            events += _vlq(0) + bytes([0x90, n, 90])
        for i, n in enumerate(chord):
            events += _vlq(beats * ticks if i == 0 else 0) + bytes([0x80, n, 0])
    events += _vlq(0) + b"\xff\x2f\x00"
    return (b"MThd" + struct.pack(">IHHH", 6, 0, 1, ticks) + b"MTrk" + struct.pack(">I", len(events))
            + bytes(events))


def render(soundfont: str, chords: list[tuple[int, ...]], program: int, cents: float = 0.0,
           beats: int = 2) -> np.ndarray:
    with tempfile.TemporaryDirectory(prefix="vexolin-render-") as tmp:
        mid, wav = os.path.join(tmp, "in.mid"), os.path.join(tmp, "out.wav")
        with open(mid, "wb") as f:
            f.write(midi(chords, program, cents, beats=beats))
        subprocess.run(["fluidsynth", "-ni", "-g", "0.8", "-r", str(SR), "-F", wav, soundfont, mid], check=True,
                       capture_output=True)
        y, sr = vexolin.load(wav)
    assert sr == SR
    return y


def cadence(tonic: int, mode: str) -> list[tuple[int, ...]]:
    third = 4 if mode == "major" else 3
    root = 48 + tonic
    return [(root, root + 12, root + 12 + third, root + 19),
            (root + 5, root + 12, root + 17, root + 17 + third),
            (root + 7, root + 11, root + 14, root + 19),
            (root, root + 12, root + 12 + third, root + 19)]


def sample_cents(soundfont: str, program: int) -> float:
    """Deviation of the instrument's A4 from 440 Hz: the peak of the spectrum
    of 3 s of a held note (zero-padded to 2**21 points)."""
    y = render(soundfont, [(69,)], program, beats=8)[int(0.5 * SR): int(3.5 * SR)].astype(np.float64)
    n = 1 << 21
    spectrum = np.abs(np.fft.rfft(y * np.hanning(len(y)), n))
    hz = np.fft.rfftfreq(n, 1 / SR)
    band = (hz > 400) & (hz < 480)
    return float(1200 * np.log2(hz[np.argmax(np.where(band, spectrum, 0))] / 440.0))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--soundfont", default=SOUNDFONT)
    args = parser.parse_args()
    if shutil.which("fluidsynth") is None or not os.path.exists(args.soundfont):
        sys.exit("render_check: needs fluidsynth and a GM sound font (apt-get install fluidsynth "
                 "fluid-soundfont-gm; make bench-render does)")
    sf = args.soundfont
    print("Estimated tuning (cents) of cadences in C major, A minor and G major, by shift:")
    passage = cadence(0, "major") + cadence(9, "minor") + cadence(7, "major")
    for name, program in INSTRUMENTS.items():
        own = sample_cents(sf, program)
        cells = []
        for cents in (-45, -30, -15, 0, 15, 30, 45):
            estimate = 100 * vexolin.estimate_tuning(render(sf, passage, program, cents), sr=SR)
            cells.append(f"{cents:+d}: {estimate:+.0f}")
        print(f"  {name:<8} (its A4 sample {own:+.1f} cents)  " + ", ".join(cells))

    print("Estimate of the shifted cadences minus (unshifted estimate + shift), cents, shifts -45 to +45 by 5:")
    worst = 0.0
    for name, program in {**INSTRUMENTS, **MORE_INSTRUMENTS}.items():
        estimates = {c: 100 * vexolin.estimate_tuning(render(sf, passage, program, c), sr=SR)
                     for c in range(-45, 46, 5)}
        errors = [(estimates[c] - estimates[0] - c + 50) % 100 - 50 for c in estimates]
        worst = max(worst, max(abs(e) for e in errors))
        print(f"  {name:<14} largest {max(abs(e) for e in errors):.0f}: " + " ".join(f"{round(e):+d}" for e in errors))
    print(f"  largest over all: {worst:.0f} cents")

    print("Keys of cadences in all 24 keys (estimated tuning, mean chroma):")
    renders = {(name, tonic, mode): render(sf, cadence(tonic, mode), INSTRUMENTS[name])
               for name in ("piano", "strings") for mode in ("major", "minor") for tonic in range(12)}
    chroma = {k: vexolin.chroma_cqt(y, sr=SR) for k, y in renders.items()}
    for profile in ("krumhansl", "temperley"):
        for name in ("piano", "strings"):
            wrong = []
            for (who, tonic, mode), c in chroma.items():
                key = vexolin.estimate_key(c, profile=profile)
                if who == name and (key.pitch_class, key.mode) != (tonic, mode):
                    wrong.append(f"{key_of(tonic, mode).name} as {key.name}")
            print(f"  {profile:<10} {name:<8} {24 - len(wrong)} of 24 right" + (f"; {', '.join(wrong)}" if wrong
                                                                            else ""))

    print("Strongest pitch class of shifted piano chords against the unshifted chords' chroma:")
    chords = [c for t in range(12) for c in cadence(t, "major" if t % 2 else "minor")]
    reference = vexolin.chroma_cqt(render(sf, chords, 0), sr=SR, tuning=0.0).argmax(axis=0)
    for cents in (-40, 25, 45):
        y = render(sf, chords, 0, cents)
        estimated, tuning = vexolin.chroma_cqt(y, sr=SR, return_tuning=True)
        fixed = vexolin.chroma_cqt(y, sr=SR, tuning=0.0)
        n = min(len(reference), estimated.shape[1])
        print(f"  {len(chords)} chords shifted {cents:+d} cents: estimate {100 * tuning:+.0f}, same on "
              f"{100 * (estimated.argmax(axis=0)[:n] == reference[:n]).mean():.2f}% of frames "
              f"(tuning=0.0: {100 * (fixed.argmax(axis=0)[:n] == reference[:n]).mean():.2f}%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
