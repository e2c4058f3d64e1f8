"""Tonal pieces with a known home key, rendered by fluidsynth, for fitting and
scoring `vexolin.estimate_key`.

Each piece is a few phrases of functional harmony in one home key: authentic
cadences (I-IV-V-I, ii-V-I, I-vi-ii-V-I), half cadences ending on V,
deceptive ones (V-vi), minor keys with the harmonic minor's major V, a
modulation to the dominant (major) or the relative major (minor) with its own
cadence and a way back; some pieces end on a half cadence or the modulation,
some start off the tonic. Voicings, textures, instruments, tempo (chord
lengths) and tuning (a pitch bend of up to 45 cents) vary with the seed; the
sound font is chosen by the caller. The truth is the home key and the local
keys' spans.

The fitting set (seeds 3000-3059, FluidR3_GM and TimGM6mb) chose
`estimate_key`'s constants; the evaluation set (seeds 5000-5059,
MuseScore_General) only scores them. Chorales and madrigals are never used.

`python bench/key_renders.py` scores the evaluation set with mir_eval.key.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import chord_renders  # noqa: E402
from chord_renders import CHORD_PROGRAMS, BASS_PROGRAMS, MELODY_PROGRAMS, TEXTURES, Piece, _voice  # noqa: E402

SOUNDFONTS = {"fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2", "timgm": "/usr/share/sounds/sf2/TimGM6mb.sf2",
              "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3"}
FIT = (range(3000, 3060), ("fluid", "timgm"))
EVALUATION = (range(5000, 5060), ("musescore",))
NAMES = chord_renders.NAMES

# Phrases as (root above the tonic in semitones, quality); the last chord is the cadence.
MAJOR_PHRASES = {
    "authentic": [((0, "maj"), (5, "maj"), (7, "maj"), (0, "maj")),
                  ((0, "maj"), (2, "min"), (7, "7"), (0, "maj")),
                  ((0, "maj"), (9, "min"), (2, "min"), (7, "maj"), (0, "maj")),
                  ((0, "maj"), (9, "min"), (5, "maj"), (7, "7"), (0, "maj")),
                  ((4, "min"), (9, "min"), (2, "min"), (7, "maj"), (0, "maj"))],
    "half": [((0, "maj"), (5, "maj"), (0, "maj"), (7, "maj")),
             ((0, "maj"), (9, "min"), (5, "maj"), (7, "maj")),
             ((5, "maj"), (0, "maj"), (2, "min"), (7, "maj"))],
    "deceptive": [((0, "maj"), (5, "maj"), (7, "7"), (9, "min")),
                  ((0, "maj"), (2, "min"), (7, "maj"), (9, "min"))],
}
MINOR_PHRASES = {
    "authentic": [((0, "min"), (5, "min"), (7, "maj"), (0, "min")),
                  ((0, "min"), (8, "maj"), (5, "min"), (7, "7"), (0, "min")),
                  ((0, "min"), (10, "maj"), (3, "maj"), (8, "maj"), (7, "maj"), (0, "min")),
                  ((0, "min"), (5, "min"), (0, "min"), (7, "7"), (0, "min"))],
    "half": [((0, "min"), (5, "min"), (0, "min"), (7, "maj")),
             ((0, "min"), (8, "maj"), (5, "min"), (7, "maj"))],
    "deceptive": [((0, "min"), (5, "min"), (7, "7"), (8, "maj"))],
}
MAJOR_SCALE, HARMONIC_MINOR = (0, 2, 4, 5, 7, 9, 11), (0, 2, 3, 5, 7, 8, 11)


def key_name(tonic: int, minor: bool) -> str:
    return f"{NAMES[tonic % 12]} {'minor' if minor else 'major'}"


def plan(rng: np.random.Generator, minor: bool) -> list[tuple[int, bool, list[tuple[int, str]]]]:
    """Phrases as (tonic offset, minor, chords): the home key's and a modulation's."""
    home = MINOR_PHRASES if minor else MAJOR_PHRASES
    other_offset, other_minor = (3, False) if minor else (7, False)
    other = MAJOR_PHRASES

    def phrase(table: dict, kinds: tuple[str, ...]) -> list[tuple[int, str]]:
        options = [p for k in kinds for p in table[k]]
        return list(options[rng.integers(len(options))])

    out = []
    if rng.random() < 0.25:  # start off the tonic: a pickup through the dominant, or the subdominant
        out.append((0, minor, [(5, "min" if minor else "maj"), (7, "maj")]))
    for _ in range(int(rng.integers(1, 3))):
        out.append((0, minor, phrase(home, ("authentic", "half", "deceptive"))))
    form = rng.choice(["plain", "modulate", "modulate-end", "half-end"], p=[0.3, 0.35, 0.15, 0.2])
    if form in ("modulate", "modulate-end"):
        # A pivot into the new key and its own authentic cadence, once or twice.
        for _ in range(int(rng.integers(1, 3))):
            out.append((other_offset, other_minor, phrase(other, ("authentic", "half"))))
        if form == "modulate":
            out.append((0, minor, phrase(home, ("authentic",))))
    elif form == "half-end":
        out.append((0, minor, phrase(home, ("half",))))
    else:
        out.append((0, minor, phrase(home, ("authentic",))))
    return out


def compose(seed: int, font: str) -> tuple[Piece, str, list[tuple[float, float, str]]]:
    """A piece, its home key and its local keys' spans (seconds)."""
    rng = np.random.default_rng(seed)
    instrument = list(CHORD_PROGRAMS)[rng.integers(len(CHORD_PROGRAMS))]
    texture = TEXTURES[rng.integers(len(TEXTURES))]
    bass = list(BASS_PROGRAMS)[rng.integers(len(BASS_PROGRAMS))] if rng.random() < 0.4 else None
    melody = list(MELODY_PROGRAMS)[rng.integers(len(MELODY_PROGRAMS))] if rng.random() < 0.4 else None
    cents = float(rng.choice([0.0, rng.uniform(-45, 45)]))
    piece = Piece(f"keys-{font}-{seed:04d}", seed, instrument, texture, cents, bass, melody)
    piece.programs = {0: CHORD_PROGRAMS[instrument]}
    if bass:
        piece.programs[1] = BASS_PROGRAMS[bass]
    if melody:
        piece.programs[2] = MELODY_PROGRAMS[melody]
    tonic, minor = int(rng.integers(12)), bool(rng.random() < 0.4)
    beat = float(rng.choice([0.4, 0.5, 0.6, 0.75, 1.0]))  # tempo: seconds a beat
    velocity = int(rng.integers(65, 105))
    t = 0.5
    spans: list[tuple[float, float, str]] = []
    for offset, local_minor, chords in plan(rng, minor):
        local = (tonic + offset) % 12
        scale = HARMONIC_MINOR if local_minor else MAJOR_SCALE
        start = t
        for i, (degree, quality) in enumerate(chords):
            beats = 4 if i == len(chords) - 1 else int(rng.choice([1, 2, 2, 2, 4]))
            length = beats * beat
            root = (local + degree) % 12
            _voice(piece, rng, root, quality, t, t + length, velocity, scale, local)
            piece.segments.append((t, t + length, chord_renders.label(root, quality)))
            t += length
        name = key_name(local, local_minor)
        if spans and spans[-1][2] == name:
            spans[-1] = (spans[-1][0], t, name)
        else:
            spans.append((start, t, name))
    return piece, key_name(tonic, minor), spans


def render_set(which: tuple[range, tuple[str, ...]], folder: Path) -> list[tuple[Path, str, list]]:
    """(wav, home key, local spans) for every seed, each on one of the set's sound fonts in turn."""
    seeds, fonts = which
    out = []
    for i, seed in enumerate(seeds):
        font = fonts[i % len(fonts)]
        piece, key, spans = compose(seed, font)
        wav, _ = chord_renders.render(piece, folder, SOUNDFONTS[font])
        out.append((wav, key, spans))
    return out


def weighted_score(items: list[tuple[Path, str, list]], estimate) -> float:
    import mir_eval

    return float(np.mean([mir_eval.key.weighted_score(key, estimate(wav)) for wav, key, _ in items]))


if __name__ == "__main__":
    import vexolin

    folder = Path(__file__).resolve().parent.parent / "build" / "key-renders"
    items = render_set(EVALUATION, folder)
    chroma = {wav: vexolin.chroma_cqt(vexolin.load(str(wav))[0], sr=chord_renders.SR) for wav, _, _ in items}
    print(f"{len(items)} pieces; mir_eval.key weighted score of the home key")
    for method in ("profile", "cadence"):
        try:
            score = weighted_score(items, lambda w: vexolin.estimate_key(chroma[w], method=method).name)
        except TypeError:  # before method= existed
            score = weighted_score(items, lambda w: vexolin.estimate_key(chroma[w]).name)
        print(f"  {method:<10}{score:.3f}")
