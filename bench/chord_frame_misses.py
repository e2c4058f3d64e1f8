"""Which chords the majmin model's frame scores miss on four-voice
progressions with fast harmonic rhythm, and why: a diagnosis on
bench/fast_progressions.py's renders (the fitting split by default).

A reference chord (after a change of chord) is missed by the frame scores
when the path never labels it and another state's scores, summed over the
chord's own span, beat its own. For every chord, and apart for those, it
counts:

- what wins instead: the chord before (late) or after (early), the
  relative or parallel chord, another chord a third away sharing two tones
  (third), a root a fifth off (fifth), N, or other;
- what is in the bass (the piece's notes, which the renders are made from):
  the root, third, fifth or seventh, or a note off the chord (a pedal);
- whether a note off the chord sounds in an upper voice over the chord's
  span (a suspension, passing or neighbour note);
- how long the chord lasts;
- how the treble and the bass terms each vote between the chord and the
  winner over its span, and whether the winner leads in the span's first
  half only (the chord before smeared into it) or in both halves.

Result on the fitting split (1168 chords after a change): before the
majmin model heard a dominant seventh as its major triad, 434 chords were
never found and 220 missed by the frame scores: 101 of them dominant
sevenths (44 % of the sevenths, 11 % of the major and 15 % of the minor
triads), 96 with a suspension held into them, 53 over a bass off the chord
(a pedal; 60 % of such chords); the winner was the chord before in 75,
the relative chord in 36, a root a fifth off in 25, another chord a third
away in 24; the treble voted against the chord in 215 of the 220 (the
bass too in 154), the winner led in both halves of the span in 122 and in
the first half only in 80. With it: 382 never found, 166 missed by the
scores (38 sevenths, 69 with a suspension, 46 over a pedal; the chord
before wins 65).

Usage: bench/chord_frame_misses.py [--eval]
"""

from __future__ import annotations

import dataclasses
import sys
from collections import Counter
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import chord_fit  # noqa: E402
import fast_progressions as fp  # noqa: E402

from vexolin import _chord_model as cm  # noqa: E402
from vexolin import _native  # noqa: E402

HOP = 512
TONES = {"maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10)}
BASS_NAMES = {0: "root", 3: "third", 4: "third", 7: "fifth", 10: "seventh"}


def kind_of(ref: list[tuple[float, float, str]], i: int, winner: str) -> str:
    if winner == "N":
        return "N"
    kind = fp.error_kind(ref, i, winner)
    return {"late": "before (late)", "early": "after (early)"}.get(kind, kind)


def chord_notes(piece_notes: list[tuple[float, float, int, int, int]], start: float,
                end: float) -> list[tuple[float, float, int, int]]:
    """(start, end, voice, pitch) of the notes sounding over a part of [start, end)."""
    return [(a, b, v, p) for a, b, v, p, _ in piece_notes if a < end - 0.02 and b > start + 0.02]


def bass_of(notes: list[tuple[float, float, int, int]], root: int, quality: str, start: float) -> str:
    low = [p for a, b, v, p in notes if v == 3 and a <= start + 0.05]
    if not low:
        low = [p for a, b, v, p in notes if v == 3]
    if not low:
        return "none"
    interval = (low[0] - root) % 12
    return BASS_NAMES.get(interval, "off the chord") if interval in TONES[quality] else "off the chord"


def off_chord(notes: list[tuple[float, float, int, int]], root: int, quality: str, start: float,
              end: float) -> str:
    """The kind of note off the chord in an upper voice: held over from before (suspension), or begun in it."""
    tones = {(root + i) % 12 for i in TONES[quality]}
    kinds = []
    for a, b, v, p in notes:
        if v == 3 or p % 12 in tones:
            continue
        kinds.append("held in (suspension)" if a < start - 0.02 else "begun in it (passing/neighbour)")
    return sorted(set(kinds))[0] if kinds else "none"


def duration_bin(seconds: float) -> str:
    for top, name in ((0.45, "< 0.45 s"), (0.65, "0.45-0.65 s"), (0.9, "0.65-0.9 s")):
        if seconds < top:
            return name
    return ">= 0.9 s"


def rows(pieces: list[chord_fit.Piece], m: cm.Model) -> list[dict[str, object]]:
    """One row per reference chord after a change: its properties, whether the path finds it, and
    whether the frame scores miss it."""
    out = []
    labels = m.labels
    index = {fp.root_quality(label): i for i, label in enumerate(labels[:-1])}
    for p in pieces:
        seed = int(p.lab.stem.split("-")[1])
        notes = fp.compose(seed).notes
        frames = cm.features_in_chunks(p.magnitudes, cm.layout(p.sr), m, cm.drop_frames(m, p.sr, HOP))
        tables = cm._tables(m, cm._scale(p.sr, HOP))
        s = cm.scores(frames.treble, frames, None, m, tables)
        treble_only = cm.scores(frames.treble, frames, None, dataclasses.replace(m, bass=0.0), tables)
        path = _native.chord_path(s, cm.switch_cost(frames.onset, m))
        times = np.arange(len(path)) * HOP / p.sr
        ref = [(float(a), float(b), n.strip()) for a, b, n in
               (line.split("\t") for line in p.lab.read_text().splitlines())]
        for i, (start, end, name) in enumerate(ref):
            rq = fp.root_quality(name)
            if i == 0 or rq is None or fp.root_quality(ref[i - 1][2]) == rq:
                continue
            span = np.flatnonzero((times >= start) & (times < end))
            if len(span) < 2:
                continue
            found = rq in {fp.root_quality(labels[k]) for k in path[span]}
            total = s[:, span].sum(axis=1)
            own = index[rq]
            winner = int(np.argmax(total))
            missed_by_scores = not found and winner != own
            quality = name.split(":")[1]
            quality = quality if quality in TONES else ("min" if quality.startswith("min") else "maj")
            sounding = chord_notes(notes, start, end)
            half = len(span) // 2
            first, second = span[:half], span[half:]
            lead = lambda part: s[winner, part].sum() > s[own, part].sum()  # noqa: E731
            t_vote = treble_only[own, span].sum() - treble_only[winner, span].sum()
            b_vote = (s[own, span].sum() - treble_only[own, span].sum()) - (
                s[winner, span].sum() - treble_only[winner, span].sum())
            out.append({
                "found": found, "missed": missed_by_scores,
                "winner": kind_of(ref, i, labels[winner]) if missed_by_scores else "-",
                "bass": bass_of(sounding, rq[0], quality, start),
                "off-chord note": off_chord(sounding, rq[0], quality, start, end),
                "duration": duration_bin(end - start),
                "quality": quality,
                "votes against": ("-" if not missed_by_scores else
                                  "treble and bass" if t_vote < 0 and b_vote < 0 else
                                  "treble only" if t_vote < 0 else "bass only" if b_vote < 0 else "neither"),
                "winner leads in": ("-" if not missed_by_scores else
                                    "both halves" if lead(first) and lead(second) else
                                    "first half only" if lead(first) else
                                    "second half only" if lead(second) else "neither half"),
                "font": p.lab.parent.parent.name,
            })
    return out


def table(data: list[dict[str, object]], column: str) -> str:
    every = Counter(str(r[column]) for r in data)
    missed = Counter(str(r[column]) for r in data if r["missed"])
    lost = Counter(str(r[column]) for r in data if not r["found"])
    lines = [f"  {column:<34} {'chords':>7} {'never found':>12} {'scores miss':>12} {'rate':>6}"]
    for key, n in sorted(every.items(), key=lambda kv: -kv[1]):
        lines.append(f"    {key:<32} {n:>7} {lost[key]:>12} {missed[key]:>12} {missed[key] / n:>6.0%}")
    return "\n".join(lines)


def misses_table(data: list[dict[str, object]], column: str) -> str:
    missed = Counter(str(r[column]) for r in data if r["missed"])
    total = sum(missed.values())
    return f"  {column} (of the {total} chords the scores miss): " + ", ".join(
        f"{k} {n}" for k, n in missed.most_common())


def main() -> int:
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--eval", action="store_true", help="the evaluation split instead of the fitting split")
    args = parser.parse_args()
    split = fp.EVALUATION if args.eval else fp.FIT
    pieces = [chord_fit.Piece(*r) for r in fp.rendered(*split)]
    data = rows(pieces, cm.model("majmin"))
    print(f"{'evaluation' if args.eval else 'fitting'} split, {len(pieces)} renders, majmin model: "
          f"{len(data)} chords after a change, {sum(not r['found'] for r in data)} never found, "
          f"{sum(bool(r['missed']) for r in data)} of them missed by the frame scores")
    for column in ("bass", "off-chord note", "duration", "quality", "font"):
        print(table(data, column))
    for column in ("winner", "votes against", "winner leads in"):
        print(misses_table(data, column))
    return 0


if __name__ == "__main__":
    sys.exit(main())
