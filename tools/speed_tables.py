"""The speed figures of docs/speed.rst and the README, made from the
benchmarks' JSON results in bench/ (no figure is copied by hand).

    .venv/bin/python tools/speed_tables.py          # write them
    .venv/bin/python tools/speed_tables.py --check  # exit 1 if a committed one differs

docs/speed.rst includes each table from docs/_generated/; the README's table
is rewritten between its two markers. Run it after a benchmark writes new
results.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"
GENERATED = ROOT / "docs" / "_generated"
README = ROOT / "README.md"
README_START = "<!-- speed: made by tools/speed_tables.py from bench/results.json; edit that, not this -->"
README_END = "<!-- end of speed -->"
NOTICE = ".. Made by tools/speed_tables.py from {source}; run it again rather than editing this file.\n\n"


def load(name: str) -> Any:
    return json.loads((BENCH / name).read_text(encoding="utf-8"))


def ms(seconds: float, digits: int = 1) -> str:
    return f"{1e3 * seconds:.{digits}f} ms"


def duration(seconds: float) -> str:
    return f"{seconds:g} s" if seconds < 60 else f"{seconds / 60:g} min"


def call(kind: str) -> str:
    return "``cqt_magnitude``" if kind == "cqt" else "``chroma_cqt``"


def list_table(header: list[str], rows: list[list[str]]) -> str:
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [header, *rows]:
        lines += [f"   {'*' if i == 0 else ' '} -" + (f" {cell}" if cell else "") for i, cell in enumerate(row)]
    return "\n".join(lines) + "\n"


def loads(machine: dict[str, Any]) -> str:
    return (f"load average {machine['load_average_at_start'][0]:.1f} at the start, "
            f"{machine['load_average_at_end'][0]:.1f} at the end")


def main_table(run: dict[str, Any]) -> str:
    """The transforms against their floor and librosa (bench/bench.py)."""
    m = run["machine"]
    rows = []
    for c in run["cases"]:
        peer = c.get("peer")
        rows.append([call(c["kind"]), f"{c['sr'] / 1000:g} kHz", duration(c["seconds"]), ms(c["ours_1"]["median"]),
                     ms(c["ours_all"]["median"]), ms(c["floor"]["floor"]["median"]),
                     f"{c['floor']['engine_1_over_floor']['median']:.2f}",
                     ms(peer["median"], 0) if peer else "", f"{c['peer_over_ours']['median']:.1f}x" if peer else ""])
    clips = run["clips"]
    rows.append(["``cqt_magnitude``, 1000 clips of 4096 samples, per call", "22.05 kHz", "0.19 s",
                 ms(clips["ours_1"]["median"], 3), ms(clips["ours_all"]["median"], 3), "", "",
                 ms(clips["peer"]["median"], 1), f"{clips['peer_over_ours']['median']:.0f}x"])
    header = ["call", "rate", "signal", "``_vexolin``, 1 thread", f"{m['cores']} threads", "floor", "engine / floor",
              f"librosa {m['librosa']}, 1 thread", "librosa / ours"]
    intro = (f"Run of {m['date'][:10]} ({m['run_seconds']:.0f} s), {m['cpu']}, {m['cores']} cores, "
             f"{m['memory_gib']} GiB; {loads(m)}:\n\n")
    return intro + list_table(header, rows)


def readme_speed(run: dict[str, Any]) -> str:
    """The README's few lines: the 3-minute calls and the clips, and the floor's range."""
    m = run["machine"]
    rows = ["| call, 22.05 kHz | vexolin, 1 thread | librosa, 1 thread | librosa / ours |", "|---|---|---|---|"]
    for c in run["cases"]:
        if c["sr"] == 22050.0 and c["seconds"] == 180.0:
            rows.append(f"| {call(c['kind']).replace('``', '`')}, 3 min | {ms(c['ours_1']['median'])} | "
                        f"{ms(c['peer']['median'], 0)} | {c['peer_over_ours']['median']:.1f}x |")
    clips = run["clips"]
    rows.append(f"| `cqt_magnitude`, 1000 clips of 4096 samples, per call | {ms(clips['ours_1']['median'], 3)} | "
                f"{ms(clips['peer']['median'], 1)} | {clips['peer_over_ours']['median']:.0f}x |")
    floor = [c["floor"]["engine_1_over_floor"]["median"] for c in run["cases"]]
    return "\n".join([
        f"Median times on one thread against librosa {m['librosa']} (hop 512, from C1;",
        "`cqt_magnitude` 84 bins at 12 per octave, `chroma_cqt` 7 octaves of 36 bins);",
        f"`bench/bench.py` (`make bench`), {m['date'][:10]}, {m['cpu']}, {m['cores']} cores, "
        f"{m['memory_gib']} GiB,",
        "a shared virtual machine (read the ratios):", "", *rows, "",
        f"The engine runs at {min(floor):.2f} to {max(floor):.2f} times its floor (the same FFTs and rate",
        "halvings alone). Every table, with streams, tuning, chords, the harmonic",
        "transform, collections and passage matching, is in [docs/speed.rst](docs/speed.rst)."])


def transforms_table(run: dict[str, Any]) -> str:
    """The harmonic and variable-Q transforms (bench/transforms_bench.py)."""
    h, v, fl, mem = run["hcqt"], run["vqt"], run["floor"], run["memory"]
    aims = {t["target"]: ("at most " if t["at_most"] else "at least ") + f"{t['bound']:g}" for t in run["targets"]}
    mib = 2 ** 20
    rows = [
        ["``hcqt_magnitude``, deep-salience layout (harmonics 0.5 to 5, 6 octaves of 60 bins from C1, hop 256), "
         "3 min at 22.05 kHz", ms(h["hcqt"]["median"], 0), ""],
        ["six ``cqt_magnitude`` calls of ours, one per harmonic",
         f"{ms(h['six_cqt']['median'], 0)}; hcqt / six {h['hcqt_over_six']['median']:.3f}",
         aims["hcqt / six cqt calls of ours"]],
        ["librosa's six ``cqt`` calls",
         f"{ms(h['peer_six']['median'], 0)}; librosa / hcqt {h['peer_over_hcqt']['median']:.0f}",
         aims["peer's six cqt calls / hcqt"]],
        [f"``vqt_magnitude``, ERB bands ({v['gamma']:.1f} Hz), 84 bins at 12 per octave from C1, hop 512, 3 min",
         f"{ms(v['vqt']['median'])}; librosa's ``vqt`` {ms(v['peer_vqt']['median'], 0)}, "
         f"{v['peer_over_vqt']['median']:.1f}x", aims["peer vqt / ours"] + "x"],
        ["max abs difference from librosa / its max: ``vqt``, ``cqt``",
         f"{v['vqt_agreement']:.2e}, {v['cqt_agreement']:.2e} over all frames; {v['vqt_agreement_inside']:.2e}, "
         f"{v['cqt_agreement_inside']:.2e} away from the signal's ends", "``vqt`` as close as ``cqt``"],
        [f"hcqt: engine (C++, 1 thread) / its floor (the FFTs the harmonics share, "
         f"{ms(fl['floor_fft']['median'], 0)}, and one pyramid of halvings, {ms(fl['floor_decimate']['median'], 0)})",
         f"{ms(fl['engine_1']['median'], 0)} / {ms(fl['floor']['median'], 0)} = "
         f"{fl['engine_1_over_floor']['median']:.2f}", aims["hcqt engine / floor"]],
        [f"hcqt on {mem['seconds'] / 60:g} min: peak memory added by a call / (output + 64 MiB)",
         f"{mem['peak_increase_bytes'] / mib:.1f} MiB for an output of {mem['output_bytes'] / mib:.1f} MiB: "
         f"{mem['ratio']:.2f}", "at most 1"],
    ]
    intro = f"Run of {run['machine']['date'][:10]}, {loads(run['machine'])}:\n\n"
    return intro + list_table(["", "measured", "aim"], rows)


def tuning_table(run: dict[str, Any]) -> str:
    """The tuning estimate against chroma (bench/tuning_bench.py)."""
    cost = {c["sr"]: c for c in run["cost"]}
    rates = sorted(cost)
    peer = run["peer"]
    rows = [
        ["``estimate_tuning``", *(ms(cost[r]["estimate"]["median"]) for r in rates)],
        ["``chroma_cqt(tuning=0.0)``, 1 thread / 2 threads",
         *(f"{ms(cost[r]['chroma_1']['median'], 0)} / {ms(cost[r]['chroma_all']['median'], 0)}" for r in rates)],
        ["estimate / chroma, 1 thread / 2 threads",
         *(f"{cost[r]['estimate_over_chroma_1']:.3f} / {cost[r]['estimate_over_chroma_all']:.3f}" for r in rates)],
        [f"librosa {run['librosa']} ``chroma_cqt``, default (estimates) / ``tuning=0``, 1 thread",
         *(f"{ms(peer['default']['median'], 0)} / {ms(peer['tuning_0']['median'], 0)}" if r == peer["sr"] else ""
           for r in rates)],
    ]
    header = ["", *(f"{r / 1000:g} kHz, {duration(cost[r]['seconds'])}" for r in rates)]
    intro = (f"Run of {run['date']}, load average {run['load_average_at_start'][0]:.1f} at the start, "
             f"{run['load_average_at_end'][0]:.1f} at the end:\n\n")
    return intro + list_table(header, rows)


#: How the chord benchmark's systems are named on the page, by set.
CHORD_SYSTEMS = {
    "majmin": [("ours (majmin)", "``estimate_chords``"),
               ("plain templates", "plain templates (best triad per chroma frame, no smoothing)"),
               ("Chordino (NNLS chroma, HMM)", "Chordino (NNLS chroma, HMM; ``chord-extractor`` 0.1.3, defaults)")],
    "sevenths": [("ours (sevenths)", '``estimate_chords(vocabulary="sevenths")``'),
                 ("ours (majmin)", "``estimate_chords`` (majmin)"),
                 ("plain templates", "plain templates"),
                 ("Chordino (NNLS chroma, HMM)", "Chordino")],
}


def chords_table(run: dict[str, Any]) -> str:
    """Chord recall by mir_eval (bench/chords_bench.py)."""
    rows = []
    for name, shown in (("majmin", "triads"), ("sevenths", "sevenths")):
        systems = run["accuracy"][name]["systems"]
        for key, label in CHORD_SYSTEMS[name]:
            scores = systems[key]
            rows.append([shown, label, *(f"{scores[m]:.3f}" if m in scores else ""
                                         for m in ("majmin", "sevenths", "mirex"))])
    textures = run["accuracy"]["majmin"]["ours by texture"]
    shown = {"restruck": "re-struck", "alberti": "Alberti"}
    by_texture = ", ".join(f"{shown.get(t, t)} {textures[t]['majmin']:.3f}"
                           for t in sorted(textures, key=lambda t: -textures[t]["majmin"]))
    return (list_table(["set", "system", "``majmin``", "``sevenths``", "``mirex``"], rows)
            + f"\nBy texture (triads): {by_texture}.\n")


#: How batch's ways are named on the page.
BATCH_WAYS = {"serial loop (engine threads)": "serial loop (``numpy.save``)",
              "batch.extract, 1 thread": "``batch.extract``, 1 thread",
              "embedded pool": "``batch.extract``, thread pool ({workers})",
              "LocalCluster, 2 processes": "``batch.extract``, LocalCluster (2 processes)"}


def batch_table(run: dict[str, Any]) -> str:
    """Collections four ways (bench/batch_bench.py)."""
    rows = [[BATCH_WAYS[w["way"]].format(workers=w["workers"]), f"{w['wall_s']:.2f} s",
             f"{w['audio_hours_per_s']:.2f}", f"{w['ms_per_file']:.1f} ms", f"{w['overhead_ms_per_file']:.1f} ms"]
            for w in run["ways"]]
    return list_table(["way", f"wall, {run['files']} files", "audio-hours / s", "per file", "overhead per file"],
                      rows)


def match_table(run: dict[str, Any]) -> str:
    """A passage found across collections (bench/match_bench.py)."""
    q, synthetic, real, fmp = run["query"], run["synthetic"], run["real"], run["libfmp"]
    cluster = run["cluster_2_processes"]
    search = f"{q['seconds']}-s query, {q['shifts']} shifts x {q['tempi']} tempi"
    rows = [[f"{synthetic['hours']:.0f} h of synthetic features ({synthetic['index_mb']:.0f} MB index), 1 core",
             f"{synthetic['seconds']:.2f} s", f"peak {synthetic['peak_rss_mb']:.0f} MB in all"],
            [f"{real['hours']:.0f} h of real features, 1 core", f"{real['seconds']:.3f} s", ""],
            [f"{fmp['hours']:.0f} h, libfmp's diagonal matching on the same features, 1 core",
             f"{fmp['ours_seconds']:.3f} s against {fmp['libfmp_seconds']:.2f} s",
             f"{fmp['speedup']:.0f}x; same best place and shift: {'yes' if fmp['same_place_and_shift'] else 'no'}"],
            [f"{cluster['hours']:.0f} h, LocalCluster of 2 processes",
             f"{cluster['seconds']:.2f} s against {cluster['one_core_seconds']:.2f} s on 1 core",
             f"same top 10: {'yes' if cluster['same_top10'] else 'no'}"]]
    recall = run["recall"]
    return (list_table([search, "time", "notes"], rows)
            + f"\nTop-1 recall on {recall['pieces']} rendered pieces in {len(recall['by_version'])} versions "
              f"each: {recall['top1_recall']:.2f}.\n")


#: Each generated include: its name, the results it is made from, and how.
TABLES: dict[str, tuple[str, Callable[[Any], str]]] = {
    "speed_main.inc": ("results.json", main_table),
    "speed_transforms.inc": ("results_transforms.json", transforms_table),
    "speed_tuning.inc": ("tuning_results.json", tuning_table),
    "speed_chords.inc": ("chords_results.json", chords_table),
    "speed_batch.inc": ("batch_results.json", batch_table),
    "speed_match.inc": ("match_results.json", match_table),
}


def with_readme_speed(readme: str, speed: str) -> str:
    """``readme`` with the text between its markers replaced by ``speed``."""
    if README_START not in readme or README_END not in readme:
        raise SystemExit(f"README.md has lost its markers of the speed figures: {README_START!r}, {README_END!r}")
    start, end = readme.index(README_START) + len(README_START), readme.index(README_END)
    return readme[:start] + "\n" + speed + "\n" + readme[end:]


def render() -> dict[Path, str]:
    """Every generated file's path and the text it should hold."""
    files = {GENERATED / name: NOTICE.format(source=f"bench/{source}") + make(load(source))
             for name, (source, make) in TABLES.items()}
    files[README] = with_readme_speed(README.read_text(encoding="utf-8"), readme_speed(load("results.json")))
    return files


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 if a file differs")
    args = parser.parse_args()
    stale = []
    for path, text in render().items():
        current = path.read_text(encoding="utf-8") if path.exists() else None
        if current == text:
            continue
        stale.append(path.relative_to(ROOT))
        if not args.check:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
    for path in stale:
        print(f"{'differs from its results' if args.check else 'wrote'}: {path}")
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
