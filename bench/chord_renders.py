"""Chord progressions as MIDI, rendered by fluidsynth with the General MIDI
sound font of Debian's fluid-soundfont-gm, each with its ground truth as a
`.lab` file (`start end label`, labels as mir_eval writes them).

Pieces of about 30 s, made from a seed: a key, diatonic chords with some
chromatic ones, 0.5 to 4 s each, in root position or inverted, as block
chords, re-struck chords, arpeggios or Alberti figures, on one of a dozen
instruments, some with a bass instrument and a melody with passing and
neighbour notes, some with rests, each piece shifted by a pitch bend of a few
tens of cents. The ground truth is the MIDI: a chord lasts from its onset to
the next chord's, a rest and the silence around the piece are `N`.

Used by bench/chords_bench.py; `python bench/chord_renders.py DIR` renders a set.
"""

from __future__ import annotations

import hashlib
import os
import struct
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
SR = 22050
TICKS_PER_SECOND = 960  # 480 ticks a beat at 120 bpm

# Chord instruments (General MIDI programs), bass instruments, melody instruments.
CHORD_PROGRAMS = {"piano": 0, "bright piano": 1, "electric piano": 4, "organ": 19, "accordion": 21,
                  "nylon guitar": 24, "steel guitar": 25, "harp": 46, "strings": 48, "choir": 52,
                  "brass": 61, "pad": 89}
BASS_PROGRAMS = {"acoustic bass": 32, "fingered bass": 33, "cello": 42}
MELODY_PROGRAMS = {"flute": 73, "violin": 40, "clarinet": 71, "alto sax": 65, "trumpet": 56}
TEXTURES = ("block", "restruck", "arpeggio", "alberti")

# Intervals above the root, by mir_eval quality.
QUALITIES = {"maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10), "maj7": (0, 4, 7, 11), "min7": (0, 3, 7, 10)}
NAMES = ("C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B")
MAJOR_SCALE = (0, 2, 4, 5, 7, 9, 11)
MINOR_SCALE = (0, 2, 3, 5, 7, 8, 10)  # natural minor; V is raised below
# Diatonic chords: (scale degree in semitones, triad quality, seventh quality).
MAJOR_CHORDS = ((0, "maj", "maj7"), (2, "min", "min7"), (4, "min", "min7"), (5, "maj", "maj7"),
                (7, "maj", "7"), (9, "min", "min7"))
MINOR_CHORDS = ((0, "min", "min7"), (3, "maj", "maj7"), (5, "min", "min7"), (7, "maj", "7"),
                (8, "maj", "maj7"), (10, "maj", "7"))


@dataclass
class Piece:
    name: str
    seed: int
    instrument: str
    texture: str
    cents: float
    bass: str | None
    melody: str | None
    # (start, end, label) in seconds; and note events (start, end, channel, note, velocity).
    segments: list[tuple[float, float, str]] = field(default_factory=list)
    notes: list[tuple[float, float, int, int, int]] = field(default_factory=list)
    programs: dict[int, int] = field(default_factory=dict)


def label(root: int, quality: str) -> str:
    return f"{NAMES[root % 12]}:{quality}"


def compose(seed: int, sevenths: bool, seconds: float = 30.0) -> Piece:
    """One piece from its seed: chords, voicings, texture, instruments, tuning."""
    rng = np.random.default_rng(seed)
    instrument = list(CHORD_PROGRAMS)[seed % len(CHORD_PROGRAMS)]
    texture = TEXTURES[(seed // len(CHORD_PROGRAMS)) % len(TEXTURES)]
    bass = list(BASS_PROGRAMS)[rng.integers(len(BASS_PROGRAMS))] if rng.random() < 0.4 else None
    melody = list(MELODY_PROGRAMS)[rng.integers(len(MELODY_PROGRAMS))] if rng.random() < 0.4 else None
    cents = float(rng.choice([0.0, rng.uniform(-45, 45)]))
    piece = Piece(f"{'sevenths' if sevenths else 'majmin'}-{seed:03d}", seed, instrument, texture, cents,
                  bass, melody)
    piece.programs = {0: CHORD_PROGRAMS[instrument]}
    if bass:
        piece.programs[1] = BASS_PROGRAMS[bass]
    if melody:
        piece.programs[2] = MELODY_PROGRAMS[melody]
    tonic, minor = int(rng.integers(12)), bool(rng.random() < 0.4)
    scale = MINOR_SCALE if minor else MAJOR_SCALE
    diatonic = MINOR_CHORDS if minor else MAJOR_CHORDS
    velocity = int(rng.integers(65, 105))
    t = 0.5  # silence first
    piece.segments.append((0.0, t, "N"))
    while t < seconds:
        if t > 3 and rng.random() < 0.07:
            rest = float(rng.choice([1.0, 1.5, 2.0]))
            piece.segments.append((t, t + rest, "N"))
            t += rest
            continue
        if rng.random() < 0.2:  # chromatic: any root, any quality of the vocabulary
            root = int(rng.integers(12))
            quality = str(rng.choice(list(QUALITIES) if sevenths else ["maj", "min"]))
        else:
            degree, triad, seventh = diatonic[rng.integers(len(diatonic))]
            root = (tonic + degree) % 12
            quality = seventh if sevenths and rng.random() < 0.5 else triad
        length = float(rng.choice([0.5, 1.0, 1.0, 1.5, 2.0, 2.0, 3.0, 4.0]))
        if piece.segments and piece.segments[-1][2] == label(root, quality):
            continue  # the same chord again would be one segment
        _voice(piece, rng, root, quality, t, t + length, velocity, scale, tonic)
        piece.segments.append((t, t + length, label(root, quality)))
        t += length
    return piece


def _voice(piece: Piece, rng: np.random.Generator, root: int, quality: str, start: float, end: float,
           velocity: int, scale: tuple[int, ...], tonic: int) -> None:
    """The notes of one chord: bass, upper voices in the piece's texture, melody."""
    tones = QUALITIES[quality]
    inversion = int(rng.choice([0, 0, 1, 2] + ([3] if len(tones) == 4 else [])))
    bass_pc = (root + tones[inversion]) % 12
    bass_note = 36 + (bass_pc - 36) % 12 + (12 if rng.random() < 0.5 else 0)  # C2..B3
    upper_start = 55 + int(rng.integers(0, 8))
    upper = sorted({upper_start + (root + iv - upper_start) % 12 for iv in tones})
    if rng.random() < 0.5:  # open voicing: the middle note an octave up
        upper = sorted(upper[:1] + [n + 12 for n in upper[1:2]] + upper[2:])
    v = lambda: int(np.clip(velocity + rng.integers(-8, 9), 30, 120))  # noqa: E731
    ch_bass = 1 if piece.bass else 0
    piece.notes.append((start, end, ch_bass, bass_note, v()))
    length = end - start
    if piece.texture == "block":
        for n in upper:
            piece.notes.append((start, end, 0, n, v()))
    elif piece.texture == "restruck":
        step = 0.5 if length >= 1.0 else length
        t = start
        while t < end - 1e-9:
            for n in upper:
                piece.notes.append((t, min(end, t + step * 0.9), 0, n, v()))
            t += step
    elif piece.texture == "arpeggio":
        step = float(rng.choice([0.125, 0.25]))
        figure = upper + upper[-2:0:-1] if rng.random() < 0.5 else upper
        t, i = start, 0
        while t < end - 1e-9:
            piece.notes.append((t, end if rng.random() < 0.5 else min(end, t + 2 * step), 0,
                                figure[i % len(figure)], v()))
            t += step
            i += 1
    else:  # alberti: low, high, middle, high
        step = 0.125 if length <= 1.0 else 0.25
        lo, mid, hi = upper[0], upper[len(upper) // 2], upper[-1]
        t, i = start, 0
        while t < end - 1e-9:
            piece.notes.append((t, min(end, t + step), 0, (lo, hi, mid, hi)[i % 4], v()))
            t += step
            i += 1
    if piece.melody:
        step = 0.5 if rng.random() < 0.5 else 0.25
        chord_pcs = [(root + iv) % 12 for iv in tones]
        t, i = start, 0
        while t < end - 1e-9:
            if i % 2 == 0:  # strong beats: chord tones
                pc = chord_pcs[rng.integers(len(chord_pcs))]
            else:  # weak beats: a scale note, a passing or neighbour note
                pc = (tonic + scale[rng.integers(len(scale))]) % 12
            note = 67 + (pc - 67) % 12 + (12 if rng.random() < 0.3 else 0)
            piece.notes.append((t, min(end, t + step * 0.95), 2, note, min(127, v() + 10)))
            t += step
            i += 1


def _vlq(n: int) -> bytes:
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(reversed(out))


def midi(piece: Piece) -> bytes:
    """A format-0 MIDI file of the piece: programs, pitch bends (range +-2 semitones), notes."""
    bend = max(0, min(16383, round(8192 + piece.cents / 200 * 8192)))
    events: list[tuple[int, int, bytes]] = []
    for channel, program in piece.programs.items():
        events.append((0, 0, bytes([0xC0 | channel, program])))
        events.append((0, 0, bytes([0xE0 | channel, bend & 0x7F, bend >> 7])))
    for start, end, channel, note, velocity in piece.notes:
        events.append((round(start * TICKS_PER_SECOND), 2, bytes([0x90 | channel, note, velocity])))
        events.append((round(end * TICKS_PER_SECOND), 1, bytes([0x80 | channel, note, 0])))
    events.sort(key=lambda e: (e[0], e[1]))  # note-offs before note-ons at the same tick
    track = bytearray()
    now = 0
    for tick, _, data in events:
        track += _vlq(tick - now) + data
        now = tick
    track += _vlq(0) + b"\xff\x2f\x00"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" + struct.pack(">I", len(track)) + bytes(track)


def write_lab(path: Path, segments: list[tuple[float, float, str]]) -> None:
    with open(path, "w") as f:
        for start, end, name in segments:
            f.write(f"{start:.6f}\t{end:.6f}\t{name}\n")


def render(piece: Piece, folder: Path, soundfont: str = SOUNDFONT) -> tuple[Path, Path]:
    """The piece's WAV and ground-truth `.lab` in ``folder``, rendered once
    (a file is kept while its MIDI is unchanged)."""
    folder.mkdir(parents=True, exist_ok=True)
    data = midi(piece)
    digest = hashlib.sha256(data).hexdigest()[:16]
    wav, lab, mid = (folder / f"{piece.name}.{ext}" for ext in ("wav", "lab", "mid"))
    stamp = folder / f"{piece.name}.sha"
    if not (wav.exists() and lab.exists() and stamp.exists() and stamp.read_text() == digest):
        mid.write_bytes(data)
        subprocess.run(["fluidsynth", "-ni", "-g", "0.5", "-r", str(SR), "-F", str(wav), soundfont, str(mid)],
                       check=True, capture_output=True)
        import soundfile  # type: ignore[import-untyped]

        duration = soundfile.info(str(wav)).duration
        segments = list(piece.segments)
        last = segments[-1][1]
        if duration > last:  # the release and reverb after the last note
            segments.append((last, duration, "N"))
        write_lab(lab, segments)
        stamp.write_text(digest)
    return wav, lab


def ornament(piece: Piece, seed: int) -> Piece:
    """The piece with notes that are not the chord's, for fitting decisions
    where they mislead: suspensions (the third, or the root, held a step
    high at the chord's start and resolved: 4-3 and 9-8), pedal notes (the
    bass holding the first chord's root, or its fifth, under runs of
    chords) and accented passing notes. The labels stay the chords'."""
    rng = np.random.default_rng(seed + 1_000_000)
    names = {n: i for i, n in enumerate(NAMES)}
    chords = [(a, b, lab) for a, b, lab in piece.segments if lab != "N"]
    home = names[chords[0][2].split(":")[0]] if chords else 0
    pedal_run = 0
    bass_channel = 1 if piece.bass else 0
    notes = list(piece.notes)
    for start, end, lab in chords:
        root = names[lab.split(":")[0]]
        tones = QUALITIES[lab.split(":")[1]]
        if pedal_run == 0 and rng.random() < 0.15:
            pedal_run = int(rng.integers(2, 5))
        if pedal_run:  # the chord's bass note becomes the pedal
            pedal_run -= 1
            pc = (home + (7 if rng.random() < 0.3 else 0)) % 12
            for i, (a, b, ch, n, v) in enumerate(notes):
                if ch == bass_channel and n < 55 and abs(a - start) < 1e-9:
                    notes[i] = (a, b, ch, 36 + (pc - 36) % 12 + (12 if n >= 48 else 0), v)
        length = end - start
        if length >= 1.0 and rng.random() < 0.35:  # a suspension over the chord's first beat or two
            held = min(0.5 * length, float(rng.choice([0.25, 0.5, 1.0])))
            target, step = (tones[1], 5 - tones[1]) if rng.random() < 0.6 else (0, 2)  # 4-3 or 9-8
            pc = (root + target) % 12
            for i, (a, b, ch, n, v) in list(enumerate(notes)):
                if ch == 0 and n >= 55 and n % 12 == pc and start - 1e-9 <= a < start + held:
                    notes[i] = (a, min(b, start + held), ch, n + step, v)
                    if b > start + held:
                        notes.append((start + held, b, ch, n, v))
        elif length >= 0.5 and rng.random() < 0.2:  # an accented passing note a step above a chord tone
            a0 = start
            n = 60 + (root + tones[int(rng.integers(len(tones)))] + 2) % 12
            notes.append((a0, a0 + min(0.25, length / 4), 0, n, 90))
    piece.notes = notes
    piece.name = piece.name.replace("majmin", "ornaments").replace("sevenths", "ornaments7")
    return piece


def pieces(kind: str, seeds: range) -> list[Piece]:
    """A kind's pieces: "majmin", "sevenths", or "ornaments" (majmin pieces
    with suspensions, pedal notes and accented passing notes)."""
    if kind == "ornaments":
        return [ornament(compose(seed, sevenths=False), seed) for seed in seeds]
    return [compose(seed, sevenths=(kind == "sevenths")) for seed in seeds]


if __name__ == "__main__":
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "build/chord-renders")
    for p in pieces("majmin", range(4)):
        print(render(p, out / "majmin"), p.instrument, p.texture, f"{p.cents:+.0f}", p.bass, p.melody,
              file=sys.stdout)
    os.sys.exit(0)
