"""The command line's parser: a command per feature of the table, with its
parameters as options, and ``batch``, ``key`` and ``info``."""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
from typing import Any

import vexolin
from vexolin._features import CHORDS, CHROMA, FEATURES, Feature, Param, Params

FORMATS = ("npy", "npz", "csv")

# What each command holds in memory, for its help.
_MEMORY = {
    "chroma": "Memory: files are read, computed and written in blocks, so it stays bounded whatever their "
              "length (--tuning auto first reads just the frames the estimate needs). --norm 1 or 2, "
              "--threshold and --cens need the whole signal: they read the whole file at once, with memory in "
              "proportion to its length.",
    "cqt": "Memory: files are read, computed and written in blocks, so it stays bounded whatever their length "
           "(besides the output itself).",
}
_MEMORY["vqt"] = _MEMORY["cqt"]
_MEMORY["hcqt"] = _MEMORY["cqt"] + " Rows: the bins of each harmonic in turn, named h<harmonic> <note>."
#: The commands whose values are magnitudes, which --db shows in decibels.
MAGNITUDES = ("cqt", "vqt", "hcqt")
_WHOLE = "Memory: each file is read whole, with memory in proportion to its length."

# A value given as "auto" (an estimate), told apart from an option not given.
AUTO = "auto"


def option(name: str) -> str:
    """The command-line spelling of a parameter: ``--hop-length`` for hop_length."""
    return "--" + name.replace("_", "-")


def _add_param(parser: argparse.ArgumentParser, param: Param) -> None:
    parser.add_argument(option(param.name), type=param.type, default=param.default,
                        metavar=param.name.upper(), help=f"{param.help} (default {param.default_text})")


def _given_type(param: Param) -> Callable[[str], Any]:
    """``param``'s command-line type, with a value that means "estimate"
    kept as ``AUTO`` rather than None, which stands for "not given"."""
    def convert(text: str) -> Any:
        value = param.type(text)
        return AUTO if value is None else value
    convert.__name__ = getattr(param.type, "__name__", "value")  # for argparse's messages
    return convert


def batch_params() -> dict[str, tuple[Param, list[str]]]:
    """Every feature's parameters, each with the features that take it."""
    found: dict[str, tuple[Param, list[str]]] = {}
    for feature in FEATURES.values():
        for param in feature.params:
            found.setdefault(param.name, (param, []))[1].append(feature.name)
    return found


def _batch_help(name: str, users: list[str]) -> str:
    params = {f: next(p for p in FEATURES[f].params if p.name == name) for f in users}
    texts = {p.default_text for p in params.values()}
    if len(users) == len(FEATURES) and len(texts) == 1:
        return f"{params[users[0]].help} (default {texts.pop()})"
    if len(users) == 1:
        return f"{users[0]} only: {params[users[0]].help} (default {params[users[0]].default_text})"
    return "default " + ", ".join(f"{p.default_text} for {f}" for f, p in params.items())


_FILES_HELP = "audio files (WAV, FLAC, OGG, MP3, ...) or folders, searched recursively for them"


def parser() -> argparse.ArgumentParser:
    made = argparse.ArgumentParser(
        prog="vexolin", description="Constant-Q transform and chroma features of audio files.")
    made.add_argument("--version", action="version", version=f"vexolin {vexolin.__version__}")
    commands = made.add_subparsers(dest="command", required=True, metavar="COMMAND")

    for feature in FEATURES.values():
        name = feature.name
        if feature is CHORDS:  # segments, not rows of frames: a command of its own below
            continue
        sub = commands.add_parser(name, help=feature.summary, description=feature.summary,
                                  epilog=_MEMORY.get(name, None if feature.stream else _WHOLE))
        sub.add_argument("files", nargs="+", metavar="FILE", help=_FILES_HELP)
        sub.add_argument("-o", "--output", metavar="OUT",
                         help="output file named .npy, .npz or .csv; with several inputs, a directory "
                              f"(existing, or ending in /) for NAME.{name}.EXT")
        sub.add_argument("--format", choices=FORMATS,
                         help="output format (default: from the suffix of OUT; npy in a directory)")
        sub.add_argument("--plot", metavar="PNG",
                         help=f"draw a PNG; with several inputs, a directory (existing, or ending in /) "
                              f"for NAME.{name}.png")
        sub.add_argument("--text", action="store_true",
                         help="print a text picture (the default when neither -o nor --plot is given)")
        sub.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
        for param in feature.params:
            _add_param(sub, param)
        if name in MAGNITUDES:
            sub.add_argument("--db", action="store_true",
                             help="decibels relative to the peak instead of magnitudes")
        elif name == "chroma":
            sub.add_argument("--cens", action="store_true",
                             help="chroma energy-normalised statistics (CENS) instead, for matching")
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    batch = commands.add_parser(
        "batch", help="Features of a whole collection into one Zarr store, resumable.",
        description="Features of every input file into one Zarr store (with a table of every file, "
                    "files.csv), on threads here or on a Dask cluster. A second run skips files done.")
    batch.add_argument("inputs", nargs="+", metavar="INPUT",
                       help="audio files, directories (searched recursively) or glob patterns; "
                            "local paths or fsspec URLs such as s3://bucket/music/")
    # A str, not a Path: Path would fold the // of s3://bucket/store.zarr.
    batch.add_argument("--out", required=True, metavar="STORE",
                       help="the Zarr store (a directory, or an fsspec URL such as s3://bucket/features.zarr)")
    batch.add_argument("--storage-option", action="append", type=_storage_option, default=[], metavar="KEY=VALUE",
                       help="an option of the fsspec filesystem of URLs, repeatable; a dotted KEY nests "
                            "(client_kwargs.endpoint_url=http://host:9000), a VALUE that reads as JSON is taken so "
                            "(anon=true)")
    batch.add_argument("--feature", choices=tuple(FEATURES), default="chroma",
                       help="; ".join(f"{name}: {f.summary.rstrip('.')}" for name, f in FEATURES.items())
                            + " (default chroma)")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786 "
                            "(default: threads in this process)")
    batch.add_argument("--task-seconds", type=float, default=300.0, metavar="SECONDS",
                       help="on a cluster, seconds of audio a task gathers from short files (default 300; "
                            "0: one file per task)")
    batch.add_argument("--fsync", action=argparse.BooleanOptionalAction, default=True,
                       help="flush each entry to the disk before renaming it into place (default); "
                            "--no-fsync is faster on slow disks")
    batch.add_argument("--retry-failed", action="store_true",
                       help="try again files that failed before and have not changed since (default: keep "
                            "their failure)")
    batch.add_argument("--workers", type=int,
                       help="the run's threads in this process (default: VEXOLIN_THREADS if set, else one per CPU)")
    batch.add_argument("--sr", type=int, help="resample to this rate in Hz (default: each file's rate)")
    batch.add_argument("--mono", action=argparse.BooleanOptionalAction, default=True,
                       help="mix channels down (default); --no-mono keeps a channel axis")
    for name, (param, users) in batch_params().items():
        batch.add_argument(option(name), type=_given_type(param), metavar=name.upper(),
                           help=_batch_help(name, users))
    batch.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    chords = commands.add_parser(
        "chords", help="The chords of each audio file, as start end label lines (.lab).",
        description="Prints start, end (seconds) and chord label (mir_eval's syntax: C:maj, A:min, N for "
                    "no chord) of each segment of each file, or writes them as .lab files.", epilog=_WHOLE)
    chords.add_argument("files", nargs="+", metavar="FILE", help=_FILES_HELP)
    chords.add_argument("-o", "--output", metavar="OUT",
                        help="a .lab file (one input), or a directory (made if missing) for NAME.lab of each input")
    chords.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
    for param in CHORDS.params:
        _add_param(chords, param)
    chords.add_argument("-q", "--quiet", action="store_true", help="no summary")

    key = commands.add_parser("key", help="The key of each audio file, from its chroma and cadences.",
                              description="Prints each file's key and its strength (the correlation of "
                                          "the mean chroma with the key's profile averaged with the "
                                          "cadential evidence, -1 to 1) and the tuning used.")
    key.add_argument("files", nargs="+", metavar="FILE", help=_FILES_HELP)
    key.add_argument("--profile", choices=("krumhansl", "temperley"), default="krumhansl",
                     help="key profiles (default krumhansl: Krumhansl and Kessler's)")
    key.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
    _add_param(key, next(p for p in CHROMA.params if p.name == "tuning"))

    found = commands.add_parser(
        "match", help="Find a passage across a collection: where a query plays in a store's files.",
        description="Scores the query at every position of every file of a CENS (or chroma) store made by "
                    "vexolin batch, across the 12 transpositions and a range of tempi, and prints the best "
                    "matches, one line each: rank, path, start and end (seconds), shift (semitones the query "
                    "is moved by) and score (0 to 1), separated by tabs. The store's matching index is built "
                    "on first use and kept up to date.")
    found.add_argument("query", metavar="QUERY", help="an audio file holding the passage")
    found.add_argument("store", metavar="STORE", help="the store (a directory, or an fsspec URL)")
    found.add_argument("--top", type=int, default=10, metavar="K", help="the most matches shown (default 10)")
    found.add_argument("--no-transpose", dest="transpose", action="store_false",
                       help="match the query as it is, without moving it by semitones")
    found.add_argument("--tempo", type=_tempo_range, default=(0.8, 1.25), metavar="MIN,MAX",
                       help="tempi of the passage relative to the query (default 0.8,1.25; 1,1: only the same)")
    found.add_argument("--json", action="store_true", help="a JSON list of the matches instead")
    found.add_argument("--scheduler", metavar="ADDRESS",
                       help="search on the Dask cluster of this scheduler, e.g. tcp://host:8786 "
                            "(default: threads in this process)")
    found.add_argument("--workers", type=int, help="threads searching in this process (default: one per CPU)")
    found.add_argument("--storage-option", action="append", type=_storage_option, default=[], metavar="KEY=VALUE",
                       help="an option of the store's fsspec filesystem, as for vexolin batch (repeatable)")

    about = commands.add_parser("info", help="Duration, rate, channels and frame count of audio files.")
    about.add_argument("files", nargs="+", metavar="FILE", help=_FILES_HELP)
    about.add_argument("--hop-length", type=int, default=512, help="hop for the frame count (default 512)")
    return made


def _tempo_range(text: str) -> tuple[float, float]:
    low, sep, high = text.partition(",")
    try:
        if not sep:
            raise ValueError
        return float(low), float(high)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN,MAX such as 0.8,1.25, got {text!r}") from None


def _storage_option(text: str) -> tuple[list[str], Any]:
    key, sep, value = text.partition("=")
    if not sep or not key or any(not part for part in key.split(".")):
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        parsed: Any = json.loads(value)
    except ValueError:
        parsed = value
    return key.split("."), parsed


def storage_options(pairs: list[tuple[list[str], Any]]) -> dict[str, Any] | None:
    options: dict[str, Any] = {}
    for keys, value in pairs:
        level = options
        for key in keys[:-1]:
            level = level.setdefault(key, {})
        level[keys[-1]] = value
    return options or None


def given(args: argparse.Namespace, feature: Feature) -> Params:
    """The feature's parameters set on the command line."""
    return {param.name: getattr(args, param.name) for param in feature.params
            if getattr(args, param.name) is not None}
