"""Four-voice progressions with fast harmonic rhythm, made by rule from a
seed, rendered by fluidsynth, with their ground truth: the chords generated.

Each piece (about 25 s): a key, major or minor; phrases of functional
harmony (tonic -> predominant -> dominant -> tonic, deceptive and half
cadences, secondary dominants, a modulation to the dominant or relative
key and back); diatonic triads and dominant sevenths, in root position or
inverted, voiced for soprano, alto, tenor and bass by the least total
motion; a chord a beat at 60-120 bpm, sometimes two a beat or one a half
bar. Between chords: suspensions (a voice holds its note into the next
chord and resolves down a step: 4-3, 9-8, 7-6), passing notes filling a
third, neighbour notes, and now and then a tonic or dominant pedal in the
bass. A suspension is labelled by its chord of resolution, as analyses do.
Sustained instruments (organ, strings, choir, woodwinds, piano), the whole
piece detuned by up to +-40 cents.

Nothing here copies or imitates any existing piece: the harmony, voicing
and ornaments come from the rules below and the seed.

Splits: FIT (seeds 5000-5015, FluidR3_GM and TimGM6mb) and EVALUATION
(seeds 6000-6015, MuseScore_General and FluidR3_GM: other seeds, and a
sound font the fit never hears).

Usage: bench/fast_progressions.py [--fit | --search]: scores the
evaluation split (or the fitting split) and says where the errors lie by
time; --search repeats the search of the majmin model's switch and
suspension constants.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
from chord_renders import NAMES, Piece, label, render  # noqa: E402

FONTS = {"fluidr3": "/usr/share/sounds/sf2/FluidR3_GM.sf2", "timgm6mb": "/usr/share/sounds/sf2/TimGM6mb.sf2",
         "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3"}
FIT = (("fluidr3", "timgm6mb"), range(5000, 5016))
EVALUATION = (("musescore", "fluidr3"), range(6000, 6016))
RENDERS = BENCH.parent / "build" / "chord-renders"

# Ensembles: General MIDI programs of soprano, alto, tenor, bass.
ENSEMBLES = {"organ": (19, 19, 19, 19), "strings": (40, 40, 41, 42), "choir": (52, 52, 52, 52),
             "woodwinds": (73, 68, 71, 70), "piano": (0, 0, 0, 0), "string ensemble": (48, 48, 48, 48)}
RANGES = ((60, 81), (53, 74), (48, 69), (36, 60))  # soprano, alto, tenor, bass
MAJOR = (0, 2, 4, 5, 7, 9, 11)
HARMONIC_MINOR = (0, 2, 3, 5, 7, 8, 11)

# Functional harmony by scale degree (0-6): the degrees that may follow.
MAJOR_NEXT = {0: (3, 4, 1, 5, 2), 1: (4, 4, 6), 2: (5, 3), 3: (4, 1, 0, 4), 4: (0, 0, 5), 5: (1, 3, 4)}
MINOR_NEXT = {0: (3, 4, 5, 2), 2: (5, 3), 3: (4, 0, 4), 4: (0, 0, 5), 5: (3, 4), 6: (2, 0)}


def triad(tonic: int, minor: bool, degree: int) -> tuple[int, str]:
    """Root pitch class and quality of a scale degree's triad (harmonic minor's V is major)."""
    scale = HARMONIC_MINOR if minor else MAJOR
    root = scale[degree]
    third = (scale[(degree + 2) % 7] - root) % 12
    if minor and degree == 6:  # the subtonic, natural minor's VII
        root, third = 10, 4
    return (tonic + root) % 12, "maj" if third == 4 else "min"


def chord_sequence(rng: np.random.Generator, tonic: int, minor: bool,
                   count: int) -> list[tuple[int, str, int, bool]]:
    """(root, quality, key's tonic, key is minor) of each chord: phrases of 4-8 chords ending
    in a cadence, with secondary dominants and a modulation midway."""
    out: list[tuple[int, str, int, bool]] = []
    key, key_minor = tonic, minor
    modulate_at = count // 2 + int(rng.integers(-2, 3))
    back_at = modulate_at + int(rng.integers(6, 10))
    degree = 0
    phrase = 0
    while len(out) < count:
        n = len(out)
        if n == modulate_at:  # to the dominant, or the relative key
            if rng.random() < 0.5:
                key, key_minor = (tonic + 7) % 12, minor
            else:
                key, key_minor = ((tonic + 3) % 12, False) if minor else ((tonic + 9) % 12, True)
            degree = 4  # enter through the new key's dominant
        elif n == back_at:
            key, key_minor, degree = tonic, minor, 4
        following = MINOR_NEXT if key_minor else MAJOR_NEXT
        phrase += 1
        if phrase >= int(rng.integers(4, 9)) and degree == 4:  # cadence: V -> I, or deceptive V -> vi
            nxt = 5 if rng.random() < 0.2 else 0
            phrase = 0
        else:
            nxt = int(rng.choice(following.get(degree, (0,))))
        root, quality = triad(key, key_minor, degree)
        if degree == 4 and rng.random() < 0.5:
            quality = "7"  # the dominant seventh
        out.append((root, quality, key, key_minor))
        target_root, target_quality = triad(key, key_minor, nxt)
        if nxt in (1, 4, 5) and nxt != degree and rng.random() < 0.2 and len(out) < count:
            out.append(((target_root + 7) % 12, "7" if rng.random() < 0.6 else "maj", key, key_minor))  # V of the next
        degree = nxt
    final_root, final_quality = triad(tonic, minor, 0)
    out[-2:] = [((tonic + 7) % 12, "7", tonic, minor), (final_root, final_quality, tonic, minor)]
    return out[:count]


def tones(root: int, quality: str) -> list[int]:
    return [(root + i) % 12 for i in {"maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10)}[quality]]


def voice(previous: list[int] | None, bass: int, pcs: list[int]) -> list[int]:
    """Soprano, alto, tenor over ``bass``: every chord tone sounds (a seventh
    chord may drop its fifth), neighbouring upper voices within an octave,
    and the least total motion from the chord before."""
    candidates = [[n for n in range(lo, hi + 1) if n % 12 in pcs] for lo, hi in RANGES[:3]]
    best, best_cost = None, float("inf")
    for s in candidates[0]:
        for a in candidates[1]:
            if not (s - 12 <= a <= s):
                continue
            for t in candidates[2]:
                if not (a - 12 <= t <= a and t > bass):
                    continue
                sounding = {s % 12, a % 12, t % 12, bass % 12}
                missing = set(pcs) - sounding
                if missing and (len(pcs) < 4 or missing != {pcs[2]}):
                    continue
                cost = 0.0 if previous is None else sum(abs(x - y) for x, y in zip((s, a, t), previous))
                cost += 0.2 * abs(s - 72)  # a singable soprano
                if cost < best_cost:
                    best, best_cost = [s, a, t], cost
    assert best is not None
    return best


def compose(seed: int, seconds: float = 25.0) -> Piece:
    """One piece from its seed (see the module's docstring)."""
    rng = np.random.default_rng(seed)
    ensemble = list(ENSEMBLES)[seed % len(ENSEMBLES)]
    tonic, minor = int(rng.integers(12)), bool(rng.random() < 0.4)
    bpm = float(rng.uniform(60, 120))
    beat = 60.0 / bpm
    cents = float(rng.uniform(-40, 40))
    piece = Piece(f"fast-{seed:04d}", seed, ensemble, "four-voice", cents, None, None)
    piece.programs = dict(enumerate(ENSEMBLES[ensemble]))
    count = int(seconds / beat) + 2
    chords = chord_sequence(rng, tonic, minor, count)
    scale_of = lambda key, key_minor: [(key + d) % 12 for d in (HARMONIC_MINOR if key_minor else MAJOR)]  # noqa: E731
    velocity = int(rng.integers(70, 100))
    # Durations: a beat mostly; sometimes half a beat, or a half bar (two beats).
    lengths = [beat * float(rng.choice([1.0] * 6 + [0.5, 0.5, 2.0])) for _ in chords]
    lengths[-1] = 2 * beat
    # Every chord's four notes, then ornaments between them.
    upper: list[list[int]] | list = []
    basses = []
    previous = None
    pedal_left, pedal_note = 0, 0
    for i, (root, quality, key, key_minor) in enumerate(chords):
        pcs = tones(root, quality)
        inversion = int(rng.choice([0, 0, 0, 1, 1, 2] if quality == "7" else [0, 0, 0, 1, 1]))
        if i == len(chords) - 1:
            inversion = 0
        bass_pc = pcs[inversion]
        lo, hi = RANGES[3]
        bass = lo + (bass_pc - lo) % 12
        if bass + 12 <= hi and basses and abs(bass + 12 - basses[-1]) < abs(bass - basses[-1]):
            bass += 12
        if pedal_left == 0 and 3 < i < len(chords) - 6 and rng.random() < 0.06:
            pedal_left = int(rng.integers(3, 5))
            pedal_note = lo + (((key + (7 if rng.random() < 0.4 else 0)) % 12) - lo) % 12
        if pedal_left:
            pedal_left -= 1
            bass = pedal_note
        previous = voice(previous, bass, pcs)
        upper.append(previous)
        basses.append(bass)
    t = 0.5
    piece.segments.append((0.0, t, "N"))
    starts = []
    for (root, quality, _, _), length in zip(chords, lengths):
        starts.append(t)
        piece.segments.append((t, t + length, label(root, quality)))
        t += length
    # Merge a chord repeated (the same label twice) into one segment.
    merged: list[tuple[float, float, str]] = []
    for seg in piece.segments:
        if merged and merged[-1][2] == seg[2]:
            merged[-1] = (merged[-1][0], seg[1], seg[2])
        else:
            merged.append(seg)
    piece.segments = merged

    def v() -> int:
        return int(np.clip(velocity + rng.integers(-10, 11), 40, 120))

    # Notes per voice: (start, end, pitch); ornaments change them.
    for part in range(4):
        notes: list[list[float]] = []
        for i, (start, length) in enumerate(zip(starts, lengths)):
            pitch = basses[i] if part == 3 else upper[i][part]
            if notes and pedal_run(basses, i) and part == 3 and notes[-1][2] == pitch:
                notes[-1][1] = start + length  # a pedal is held, not re-struck
                continue
            notes.append([start, start + length, pitch])
        if part < 3:
            notes = ornament(rng, notes, starts, lengths, chords, scale_of, part)
        for start, end, pitch in notes:
            piece.notes.append((start, end - 0.01, part, int(pitch), v()))
    return piece


def pedal_run(basses: list[int], i: int) -> bool:
    return i > 0 and basses[i] == basses[i - 1]


def ornament(rng: np.random.Generator, notes: list[list[float]], starts: list[float], lengths: list[float],
             chords: list[tuple[int, str, int, bool]], scale_of, part: int) -> list[list[float]]:  # type: ignore[no-untyped-def]
    """One upper voice's notes with suspensions, passing and neighbour notes."""
    out: list[list[float]] = []
    for i, (start, end, pitch) in enumerate(notes):
        before = notes[i - 1][2] if i else None
        after = notes[i + 1][2] if i + 1 < len(notes) else None
        scale = scale_of(chords[i][2], chords[i][3])
        length = end - start
        # A suspension: the note before held into this chord, resolving down a step.
        if before is not None and 1 <= before - pitch <= 2 and length >= 0.45 and rng.random() < 0.45:
            held = length * float(rng.choice([0.5, 0.5, 0.75]))
            if out:
                out[-1][1] = start + held  # tied over from the chord before
            else:
                out.append([start, start + held, before])
            out.append([start + held, end, pitch])
            continue
        # A passing note filling a third to the next chord's note.
        if after is not None and 3 <= abs(after - pitch) <= 4 and length >= 0.4 and rng.random() < 0.4:
            step = 1 if after > pitch else -1
            middle = next((p for p in range(int(pitch) + step, int(after), step) if p % 12 in scale), None)
            if middle is not None:
                out.extend([[start, start + length / 2, pitch], [start + length / 2, end, middle]])
                continue
        # A neighbour note: out a step and back, when the next chord keeps the note.
        step = 1 if rng.random() < 0.5 else -1
        neighbour = next((p for p in (pitch + step, pitch + 2 * step) if p % 12 in scale), None)
        if after == pitch and neighbour is not None and length >= 0.4 and rng.random() < 0.25:
            out.extend([[start, start + length / 2, pitch], [start + length / 2, end, neighbour]])
            continue
        out.append([start, end, pitch])
    return out


def rendered(fonts: tuple[str, ...], seeds: range) -> list[tuple[str, Path, Path]]:
    """("majmin", wav, lab) of every piece in every font, rendered once."""
    from concurrent.futures import ThreadPoolExecutor

    jobs = [(font, compose(seed)) for font in fonts for seed in seeds]
    with ThreadPoolExecutor(2) as pool:
        return list(pool.map(lambda job: ("majmin", *render(job[1], RENDERS / job[0] / "fast", FONTS[job[0]])),
                             jobs))


# --- where the errors lie ------------------------------------------------------

CATEGORIES = ("late", "early", "relative", "parallel", "third", "fifth", "other", "N")


def root_quality(name: str) -> tuple[int, str] | None:
    if name in ("N", "X"):
        return None
    r, q = name.split(":")
    return NAMES.index(r) if r in NAMES else {"Db": 1, "D#": 3, "Gb": 6, "G#": 8, "A#": 10}[r], \
        ("min" if q.startswith("min") else "maj")


def error_kind(ref: list[tuple[float, float, str]], i: int, est: str) -> str:
    """Why ``est`` is wrong on the reference's segment ``i`` (majmin: a
    seventh counts as its triad): the segment before (late) or after (early),
    the relative or parallel chord, another chord a third away sharing two
    tones, a root a fifth off, or other."""
    e, r = root_quality(est), root_quality(ref[i][2])
    if e is None or r is None:
        return "N"
    if i > 0 and root_quality(ref[i - 1][2]) == e:
        return "late"
    if i + 1 < len(ref) and root_quality(ref[i + 1][2]) == e:
        return "early"
    steps = (e[0] - r[0]) % 12
    if e[1] != r[1] and ((r[1] == "maj" and steps == 9) or (r[1] == "min" and steps == 3)):
        return "relative"
    if e[1] != r[1] and steps == 0:
        return "parallel"
    if e[1] != r[1] and steps in (3, 4, 8, 9):
        return "third"
    if steps in (5, 7):
        return "fifth"
    return "other"


def error_seconds(lab: Path, intervals: np.ndarray, labels: list[str], step: float = 0.01) -> dict[str, float]:
    """Seconds of each kind of error (majmin), sampled every ``step`` seconds."""
    ref = [(float(a), float(b), name) for a, b, name in
           (line.split("\t") for line in lab.read_text().splitlines())]
    ref = [(a, b, name.strip()) for a, b, name in ref]
    out = dict.fromkeys(CATEGORIES, 0.0)
    j = 0
    for i, (a, b, name) in enumerate(ref):
        for t in np.arange(a + step / 2, b, step):
            while j + 1 < len(intervals) and intervals[j][1] <= t:
                j += 1
            est = labels[j]
            if root_quality(est) != root_quality(name):
                out[error_kind(ref, i, est)] += step
    return out


# The majmin model's switch and suspension constants, searched on this
# fitting split together with bench/chord_fit.py's fitting renders.
GRID = {"switch": [20.0, 25.0, 30.0, 35.0, 40.0, 50.0], "onset_floor": [0.03, 0.06, 0.1, 0.15, 0.25],
        "onset_scale": [0.05, 0.1, 0.15, 0.2, 0.3], "suspension": [0.0, 0.03, 0.05, 0.08, 0.12]}


def search() -> None:
    """Coordinate search (chord_fit's) from the model with the suspension term
    off, maximising the mean of majmin, root and mirex recall over both sets,
    less ten times any fall of the earlier set's under- or over-segmentation
    score by more than 0.002."""
    import dataclasses

    import chord_fit
    from vexolin import _chord_model as chord_model

    fast = [chord_fit.Piece(*r) for r in rendered(*FIT)]
    earlier = [chord_fit.Piece(*r) for r in chord_fit.rendered(*chord_fit.FIT)]
    base = dataclasses.replace(chord_model.model("majmin"), onset_scale=0.2, suspension=0.0)
    before = chord_fit.evaluate(earlier, base, "majmin")["all"]

    def objective(c: dict[str, float]) -> float:
        m = dataclasses.replace(base, **c)  # type: ignore[arg-type]
        a, b = (chord_fit.evaluate(p, m, "majmin")["all"] for p in (fast, earlier))
        loss = sum(max(0.0, before[k] - 0.002 - b[k]) for k in ("underseg", "overseg"))
        return sum(a[k] + b[k] for k in ("majmin", "root", "mirex")) / 6 - 10.0 * loss

    print("fitted:", chord_fit.coordinate_search(GRID, {k: getattr(base, k) for k in GRID}, objective))


def main() -> int:
    import argparse

    import chord_fit

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fit", action="store_true", help="the fitting split instead of the evaluation split")
    parser.add_argument("--search", action="store_true", help="search the majmin model's switch constants")
    args = parser.parse_args()
    if args.search:
        search()
        return 0
    split = FIT if args.fit else EVALUATION
    pieces = [chord_fit.Piece(*r) for r in rendered(*split)]
    from vexolin import _chord_model as chord_model

    for vocabulary in chord_model.VOCABULARIES:
        m = chord_model.model(vocabulary)
        r = chord_fit.evaluate(pieces, m, vocabulary)["all"]
        print(f"{'fit' if args.fit else 'evaluation'} split, {len(pieces)} renders, {vocabulary}: "
              + "  ".join(f"{k} {r[k]:.3f}" for k in ("majmin", "root", "mirex", "underseg", "overseg")))
        totals = dict.fromkeys(CATEGORIES, 0.0)
        for p in pieces:
            c = p.labels(m, vocabulary)
            for k, s in error_seconds(p.lab, c.intervals, c.labels).items():
                totals[k] += s
        wrong = sum(totals.values())
        print("  errors by time: " + ", ".join(f"{k} {100 * s / wrong:.0f} %" for k, s in totals.items())
              + f" (of {wrong:.0f} s wrong)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
