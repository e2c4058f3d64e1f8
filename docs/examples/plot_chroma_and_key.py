"""
Chroma and the key of a piece
=============================

A short piece in E-flat major (a melody over I-vi-IV-V-I) is rendered on a
piano, its chroma computed with the tuning estimated, and its key found from
the mean chroma. The chromagram spells the pitch classes as E-flat major's
signature does.
"""

# %%
# Rendering the piece
# -------------------
# With fluidsynth and Debian's General MIDI sound font (``apt-get install
# fluidsynth fluid-soundfont-gm``) the piece is played on a sampled piano;
# without them, on harmonic tones synthesised with NumPy.

import os
import shutil
import subprocess
import tempfile

import matplotlib.pyplot as plt
import numpy as np

import vexolin
import vexolin.plot

SR = 22050
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
BEAT = 0.5  # seconds

# (start beat, length in beats, MIDI notes): Eb, Cm, Ab, Bb, Eb and a melody above.
chords = [(0, 4, (51, 58, 63, 67)), (4, 4, (48, 55, 63, 67)), (8, 4, (44, 56, 60, 63)),
          (12, 4, (46, 53, 58, 62)), (16, 4, (39, 55, 58, 63))]
melody = [(0, 1, 79), (1, 1, 77), (2, 2, 75), (4, 1, 72), (5, 1, 74), (6, 2, 75), (8, 1, 72), (9, 1, 75),
          (10, 2, 80), (12, 1, 79), (13, 1, 77), (14, 2, 74), (16, 4, 75)]
notes = [(start, length, n) for start, length, chord in chords for n in chord] + melody


def render(notes, program=0):
    """The notes as a signal at SR: sampled by fluidsynth when it is there, else synthesised."""
    if shutil.which("fluidsynth") and os.path.exists(SOUNDFONT):
        import mido

        ticks = 480
        events = sorted([(s * ticks, "note_on", n) for s, _, n in notes]
                        + [((s + d) * ticks, "note_off", n) for s, d, n in notes])
        track = mido.MidiTrack([mido.Message("program_change", program=program)])
        now = 0
        for at, kind, n in events:
            track.append(mido.Message(kind, note=n, velocity=80, time=at - now))
            now = at
        with tempfile.TemporaryDirectory() as tmp:
            midi, wav = os.path.join(tmp, "piece.mid"), os.path.join(tmp, "piece.wav")
            mido.MidiFile(tracks=[track], ticks_per_beat=ticks).save(midi)
            subprocess.run(["fluidsynth", "-ni", "-g", "0.6", "-r", str(SR), "-F", wav, SOUNDFONT, midi],
                           check=True, capture_output=True)
            y, _ = vexolin.load(wav)
        return y, "piano (fluidsynth)"
    end = max(s + d for s, d, _ in notes) * BEAT + 1.0
    y = np.zeros(int(end * SR), np.float32)
    for start, length, n in notes:
        t = np.arange(int((length * BEAT + 0.5) * SR)) / SR
        hz = 440.0 * 2 ** ((n - 69) / 12)
        tone = sum(np.sin(2 * np.pi * k * hz * t) / k for k in range(1, 6) if k * hz < SR / 2)
        i = int(start * BEAT * SR)
        y[i:i + len(t)] += (0.1 * tone * np.exp(-3 * t)).astype(np.float32)
    return y, "harmonic tones (synthesised)"


y, how = render(notes)
print(f"{len(y) / SR:.1f} s of {how}")

# %%
# Chroma and key
# --------------
# ``chroma_cqt`` estimates the tuning by default (``tuning=None``);
# ``return_tuning=True`` says what it used, as a fraction of a semitone.
# ``norm=None`` keeps the folded magnitudes, so the plot can draw quiet frames
# dark. Temperley's profile is the safer choice on piano, whose strong 5th
# partials can make Krumhansl and Kessler's hear a minor key as major.

chroma, tuning = vexolin.chroma_cqt(y, sr=SR, norm=None, return_tuning=True)
key = vexolin.estimate_key(chroma, profile="temperley")
print(f"tuning {tuning:+.2f} semitones, key {key.name} (strength {key.strength:.2f})")

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
vexolin.plot.chromagram(chroma, sr=SR, key=key, ax=ax)
ax.set_title(f"Chroma, pitch classes spelled for {key.name}")

# %%
# How well each key fits
# ----------------------
# ``Key.scores`` holds the correlation with all 24 keys: C major to B major,
# then C minor to B minor. The relative minor (C minor) and the neighbouring
# keys on the circle of fifths come next.

# Tonics as key signatures spell them.
majors = ["C", "Db", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"]
minors = ["C", "C#", "D", "Eb", "E", "F", "F#", "G", "G#", "A", "Bb", "B"]
names = [f"{n} major" for n in majors] + [f"{n} minor" for n in minors]
order = np.argsort(key.scores)[::-1][:6]
for i in order:
    print(f"{names[i]:>9}  {key.scores[i]:+.2f}")

fig, ax = plt.subplots(figsize=(8, 2.8), layout="constrained")
ax.bar(range(24), key.scores, color=["C0"] * 12 + ["C1"] * 12)
ax.set_xticks(range(24), [n.replace(" major", "").replace(" minor", "m") for n in names], fontsize=8)
ax.set_ylabel("Correlation")
ax.set_title("Major (blue) and minor (orange) keys")
plt.show()
