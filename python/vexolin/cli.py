"""The ``vexolin`` command line: chroma features and CQT spectrograms of
audio files, their keys, and what a file holds.

Each file is done on its own: a file that fails gets one line on stderr and
the others go on; the exit status is 1 when any failed. A file is read,
computed and written in blocks (``vexolin.stream_file``), so memory stays
bounded whatever its length; chroma's estimated tuning comes from a first
pass that keeps only the frames the estimate reads. Chroma with another
norm, a threshold, CENS or a plot needs every frame's unscaled sums, so it
reads the whole file at once (memory in proportion to its length). Outputs are written under a temporary name and
renamed, so an interrupted run never leaves a truncated file under the final
name. A reader that closes standard output
early (``| head``) ends the run quietly, with the status a shell gives a
command stopped by SIGPIPE (141), as ``cat`` or ``seq`` would.

The per-feature options, their defaults and checks come from the features'
descriptions (``vexolin._features``), shared with the package and batch.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
import tempfile
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import IO, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

import vexolin
from vexolin import _spool
from vexolin._atomic import staged, write_file
from vexolin._checks import whole_number
from vexolin._chroma import cens, normalise
from vexolin._features import CHROMA, FEATURES, Feature, Param, Params, request
from vexolin._from_file import feature_of_file
from vexolin._io import AudioFileError

_SHADES = " .:-=+*#%@"
_TEXT_COLUMNS = 72
_FORMATS = ("npy", "npz", "csv")
# The status a shell reports for a command stopped by SIGPIPE (128 + 13).
_CLOSED_PIPE_STATUS = 141


# What each command holds in memory, for its help.
_MEMORY = {
    "chroma": "Memory: files are read, computed and written in blocks, so it stays bounded whatever their "
              "length (--tuning auto first reads just the frames the estimate needs). --norm other than inf, "
              "--threshold, --cens and --plot need every frame's unscaled sums: they read the whole file at "
              "once, with memory in proportion to its length.",
    "cqt": "Memory: files are read, computed and written in blocks, so it stays bounded whatever their length "
           "(besides the output itself).",
}


class _Job(NamedTuple):
    source: str
    output: Path | None
    plot: Path | None


class _Result(NamedTuple):
    values: npt.NDArray[np.float32]
    labels: list[str]
    sr: int
    #: The parameters used, as saved with the result (tuning as estimated).
    params: Params
    #: What the plot draws: for chroma, the sums before any norm.
    drawn: npt.NDArray[np.float32]


def _option(name: str) -> str:
    """The command-line spelling of a parameter: ``--hop-length`` for hop_length."""
    return "--" + name.replace("_", "-")


def _add_param(parser: argparse.ArgumentParser, param: Param) -> None:
    parser.add_argument(_option(param.name), type=param.type, default=param.default,
                        metavar=param.name.upper(), help=f"{param.help} (default {param.default_text})")


# A value given as "auto" (an estimate), told apart from an option not given.
_AUTO = "auto"


def _given_type(param: Param) -> Callable[[str], Any]:
    """``param``'s command-line type, with a value that means "estimate"
    kept as ``_AUTO`` rather than None, which stands for "not given"."""
    def convert(text: str) -> Any:
        value = param.type(text)
        return _AUTO if value is None else value
    convert.__name__ = getattr(param.type, "__name__", "value")  # for argparse's messages
    return convert


def _batch_params() -> dict[str, tuple[Param, list[str]]]:
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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexolin", description="Constant-Q transform and chroma features of audio files.")
    parser.add_argument("--version", action="version", version=f"vexolin {vexolin.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    for feature in FEATURES.values():
        name = feature.name
        sub = commands.add_parser(name, help=feature.summary, description=feature.summary,
                                  epilog=_MEMORY.get(name))
        sub.add_argument("files", nargs="+", metavar="FILE", help="audio files (WAV, FLAC, OGG, MP3, ...)")
        sub.add_argument("-o", "--output", metavar="OUT",
                         help="output file named .npy, .npz or .csv; with several inputs, a directory "
                              f"(existing, or ending in /) for NAME.{name}.EXT")
        sub.add_argument("--format", choices=_FORMATS,
                         help="output format (default: from the suffix of OUT; npy in a directory)")
        sub.add_argument("--plot", metavar="PNG",
                         help=f"draw a PNG; with several inputs, a directory (existing, or ending in /) "
                              f"for NAME.{name}.png")
        sub.add_argument("--text", action="store_true",
                         help="print a text picture (the default when neither -o nor --plot is given)")
        sub.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
        for param in feature.params:
            _add_param(sub, param)
        if name == "cqt":
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
    for name, (param, users) in _batch_params().items():
        batch.add_argument(_option(name), type=_given_type(param), metavar=name.upper(),
                           help=_batch_help(name, users))
    batch.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    key = commands.add_parser("key", help="The key of each audio file, from its mean chroma.",
                              description="Prints each file's key and its strength (the correlation of "
                                          "the mean chroma with the key's profile, -1 to 1) and the tuning used.")
    key.add_argument("files", nargs="+", metavar="FILE", help="audio files (WAV, FLAC, OGG, MP3, ...)")
    key.add_argument("--profile", choices=("krumhansl", "temperley"), default="krumhansl",
                     help="key profiles (default krumhansl: Krumhansl and Kessler's)")
    key.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
    _add_param(key, next(p for p in CHROMA.params if p.name == "tuning"))

    about = commands.add_parser("info", help="Duration, rate, channels and frame count of audio files.")
    about.add_argument("files", nargs="+", metavar="FILE")
    about.add_argument("--hop-length", type=int, default=512, help="hop for the frame count (default 512)")
    return parser


def _storage_option(text: str) -> tuple[list[str], Any]:
    key, sep, value = text.partition("=")
    if not sep or not key or any(not part for part in key.split(".")):
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        parsed: Any = json.loads(value)
    except ValueError:
        parsed = value
    return key.split("."), parsed


def _storage_options(pairs: list[tuple[list[str], Any]]) -> dict[str, Any] | None:
    options: dict[str, Any] = {}
    for keys, value in pairs:
        level = options
        for key in keys[:-1]:
            level = level.setdefault(key, {})
        level[keys[-1]] = value
    return options or None


def _given(args: argparse.Namespace, feature: Feature) -> Params:
    """The feature's parameters set on the command line."""
    return {param.name: getattr(args, param.name) for param in feature.params
            if getattr(args, param.name) is not None}


@contextlib.contextmanager
def _spooled(job: _Job, fmt: str) -> Iterator[str]:
    """Where a file's frames are written as they arrive: the output itself
    (under its temporary name) for ``npy``, else a scratch file removed after."""
    if job.output is not None and fmt == "npy":
        with staged(job.output) as temporary:
            yield temporary
        return
    folder = None
    if job.output is not None:
        folder = os.path.dirname(job.output) or "."
        os.makedirs(folder, exist_ok=True)
    handle, scratch = tempfile.mkstemp(prefix=".vexolin-", suffix=".npy", dir=folder)
    os.close(handle)
    try:
        yield scratch
    finally:
        os.unlink(scratch)


def _do_file(args: argparse.Namespace, job: _Job, bar: tqdm[Any], length: float) -> str | None:
    """One file into its outputs, streamed (or whole, for chroma that needs
    every frame's sums); the text picture when one is shown."""
    from vexolin._stream import FileFrames

    if _whole_file(args):
        result = _compute(args, job.source)
        if job.output is not None:
            write_file(job.output, lambda f: _save(args, result, f, args.format))
        if job.plot is not None:
            title = f"{os.path.basename(job.source)}: {args.command}"
            write_file(job.plot, lambda f: _draw(args, result, f, title))
        if args.text or (args.output is None and args.plot is None):
            return _text(_shown(args, result), result.labels, result.sr, args.hop_length)
        return None
    frames_of = FileFrames(job.source, args.request, sr=args.sr, mono=True)
    labels = frames_of.request.labels
    used = {**frames_of.request.params, "cens": False} if args.command == "chroma" else frames_of.request.params
    seconds = 0.0

    def tracked(blocks: Iterable[npt.NDArray[np.float32]]) -> Iterator[npt.NDArray[np.float32]]:
        nonlocal seconds
        for block in blocks:
            if not block.shape[-1]:
                continue
            step = min(block.shape[-1] * args.hop_length / frames_of.sr, max(0.0, length - seconds))
            seconds += step
            bar.update(step)
            yield block

    with _spooled(job, args.format) as spool:
        with open(spool, "wb") as f:
            _spool.write_frames(f, tracked(frames_of), len(labels))
        rate = frames_of.sr
        if job.plot is not None:  # magnitudes, before any decibels
            magnitudes = np.array(_spool.open_frames(spool))
            result = _Result(magnitudes, labels, rate, used, magnitudes)
            title = f"{os.path.basename(job.source)}: {args.command}"
            write_file(job.plot, lambda f: _draw(args, result, f, title))
        if args.command == "cqt" and args.db:
            _spool.to_db(spool)
        if job.output is not None and args.format != "npy":
            values = _spool.open_frames(spool)
            if args.format == "csv":
                write_file(job.output, lambda f: _spool.write_csv(f, values, labels, rate, args.hop_length))
            else:
                made = {"vexolin": vexolin.__version__, "params": json.dumps(_provenance(args, used, rate))}
                if "tuning" in used:
                    made["tuning"] = used["tuning"]
                write_file(job.output, lambda f: _spool.write_npz(f, args.command, values, labels, rate,
                                                                  args.hop_length, made))
        text = None
        if args.text or (args.output is None and args.plot is None):
            text = _text(np.array(_spool.open_frames(spool)), labels, rate, args.hop_length)
    return text


def _whole_file(args: argparse.Namespace) -> bool:
    """Whether a file's chroma needs its whole signal at once: other norms,
    the threshold and CENS start from every frame's unscaled sums, and the
    plot draws those with quiet values dark."""
    return not args.request.streams or args.command == "chroma" and (args.cens or args.plot is not None)


def _compute(args: argparse.Namespace, path: str) -> _Result:
    """A file's feature from its whole signal, as the package functions give it."""
    if args.command == "chroma":
        # One transform gives the sums: the output scales them, the plot
        # silences the quiet ones before scaling.
        sums = args.request.with_params(norm=None, threshold=0.0)
        folded, sr, _, computed = feature_of_file(path, sums, sr=args.sr, mono=True, workers=None)
        used = {**computed.params, "norm": args.params["norm"], "threshold": args.params["threshold"]}
        values = cens(folded, 41) if args.cens else normalise(folded, used["norm"], used["threshold"])
        return _Result(values, computed.labels, sr, {**used, "cens": args.cens}, folded)
    values, sr, _, computed = feature_of_file(path, args.request, sr=args.sr, mono=True, workers=None)
    return _Result(values, computed.labels, sr, computed.params, values)


def _shown(args: argparse.Namespace, result: _Result) -> npt.NDArray[np.float32]:
    """The values that are saved and printed: magnitudes, or decibels with --db."""
    if args.command == "cqt" and args.db:
        return vexolin.amplitude_to_db(result.values, ref=np.max).astype(np.float32)
    return result.values


def _save(args: argparse.Namespace, result: _Result, f: IO[bytes], fmt: str) -> None:
    values = _shown(args, result)
    times = vexolin.times_like(values, sr=result.sr, hop_length=args.hop_length)
    if fmt == "npy":
        np.save(f, values)
    elif fmt == "npz":
        # With how it was made: the version, every parameter and the tuning used.
        arrays: dict[str, Any] = {args.command: values, "times": times, "labels": np.array(result.labels),
                                  "sr": result.sr, "hop_length": args.hop_length,
                                  "vexolin": vexolin.__version__, "params": json.dumps(_provenance(args, result.params, result.sr))}
        if "tuning" in result.params:
            arrays["tuning"] = result.params["tuning"]
        np.savez(f, **arrays)
    else:  # one row per frame: its time, then one column per row of the result
        np.savetxt(f, np.column_stack([times, values.T]), delimiter=",", fmt="%.7g",
                   header=",".join(["time", *result.labels]), comments="")


def _provenance(args: argparse.Namespace, params: Params, sr: int) -> dict[str, Any]:
    return {"feature": args.command, **params, "sr": sr,
            **({"db": args.db} if args.command == "cqt" else {})}


def _draw(args: argparse.Namespace, result: _Result, f: IO[bytes], title: str) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ValueError("--plot needs matplotlib: pip install 'vexolin[plot]'") from None
    import vexolin.plot

    chroma = args.request.feature.from_sums is not None
    figure = Figure(figsize=(10, 4 if chroma else 6), layout="constrained")
    ax = figure.add_subplot()
    if chroma:
        drawn = result.values if args.command != "chroma" or args.cens else result.drawn
        vexolin.plot.chromagram(drawn, sr=result.sr, hop_length=args.hop_length, ax=ax)
    else:  # magnitudes, drawn in decibels with or without --db
        vexolin.plot.cqt(result.drawn, sr=result.sr, hop_length=args.hop_length, fmin=args.params["fmin"],
                         bins_per_octave=args.params["bins_per_octave"], ax=ax)
    ax.set_title(title)
    figure.savefig(f, format="png", dpi=100, metadata={
        "Software": f"vexolin {vexolin.__version__}", "Description": json.dumps(_provenance(args, result.params, result.sr))})


def _text(values: npt.NDArray[np.float32], labels: list[str], sr: int, hop_length: int) -> str:
    """Rows as lines of shade characters, highest row on top; a column averages neighbouring frames."""
    scaled = values - min(0.0, float(values.min()))  # decibels: from the floor up
    scaled = scaled / (float(scaled.max()) or 1.0)
    per_column = -(-values.shape[1] // _TEXT_COLUMNS)
    n_columns = -(-values.shape[1] // per_column)
    padded = np.zeros((values.shape[0], n_columns * per_column))
    padded[:, : values.shape[1]] = scaled
    cells = padded.reshape(values.shape[0], n_columns, per_column).mean(axis=2)
    width = max(len(label) for label in labels)
    lines = []
    for row in range(values.shape[0] - 1, -1, -1):
        shades = "".join(_SHADES[min(len(_SHADES) - 1, int(v * len(_SHADES)))] for v in cells[row])
        lines.append(f"{labels[row]:>{width}} |{shades}")
    end = f"{values.shape[1] * hop_length / sr:.1f} s"
    lines.append(" " * (width + 2) + "0 s".ljust(max(4, n_columns - len(end))) + end)
    return "\n".join(lines)


def _is_directory(given: str) -> bool:
    return given.endswith(("/", os.sep)) or os.path.isdir(given)


def _jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[_Job]:
    """Where each input's outputs go: the given names for one input, a directory for several.
    Settles ``args.format``; a bad combination is a usage error before any work."""
    for option, given in (("-o", args.output), ("--plot", args.plot)):
        if given is not None and len(args.files) > 1 and not _is_directory(given):
            parser.error(f"{option} {given}: with {len(args.files)} input files, {option} must be a "
                         f"directory that exists or ends with a slash ({given}/)")

    def targets(given: str | None, ext: str) -> list[Path | None]:
        if given is None:
            return [None] * len(args.files)
        if not _is_directory(given):
            return [Path(given)]
        stems = [Path(source).stem for source in args.files]
        if len(set(stems)) < len(stems):
            parser.error(f"several inputs share a file name, so their outputs in {given} would collide")
        return [Path(given) / f"{stem}.{args.command}.{ext}" for stem in stems]

    if args.format is None:
        args.format = "npy"
        if args.output is not None and not _is_directory(args.output):
            suffix = os.path.splitext(args.output)[1][1:].lower()
            if suffix not in _FORMATS:
                parser.error(f"-o {args.output}: {f'.{suffix} is not' if suffix else 'no suffix names'} an "
                             "output format; name the file .npy, .npz or .csv, or give --format")
            args.format = suffix
    return [_Job(*job) for job in zip(args.files, targets(args.output, args.format), targets(args.plot, "png"))]


def _run_transform(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:  # once, before any work: a bad value is the same for every file
        args.request = request(FEATURES[args.command], _given(args, FEATURES[args.command]), spell=_option)
        args.params = args.request.params
        if args.sr is not None:
            whole_number("--sr", args.sr)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    if getattr(args, "cens", False) and (args.params["norm"] != "inf" or args.params["threshold"] != 0.0):
        parser.error("--cens has its own normalisation: drop --norm and --threshold")
    args.hop_length = args.params["hop_length"]
    jobs = _jobs(parser, args)
    seconds = []
    for job in jobs:  # the bar's length: seconds of audio, so long files weigh more
        try:
            seconds.append(vexolin.info(job.source).duration)
        except AudioFileError:
            seconds.append(0.0)
    failed = 0
    show = not args.quiet and sys.stderr.isatty()
    with tqdm(total=round(sum(seconds), 1), unit="s", file=sys.stderr, disable=not show,
              bar_format="{l_bar}{bar}| {n:.0f}/{total:.0f} s of audio [{elapsed}<{remaining}{postfix}]") as bar:
        for job, length in zip(jobs, seconds):
            bar.set_postfix_str(os.path.basename(job.source))
            done_before = bar.n
            try:
                picture = _do_file(args, job, bar, round(length, 1))
            except AudioFileError as e:
                failed += 1
                tqdm.write(f"vexolin: error: {e}", file=sys.stderr)
            except (ValueError, TypeError, OSError, MemoryError, RuntimeError) as e:
                failed += 1
                tqdm.write(f"vexolin: error: {job.source}: {e}", file=sys.stderr)
            else:
                if picture is not None:
                    if len(jobs) > 1:
                        print(f"== {job.source}")
                    print(picture, flush=True)
            bar.update(max(0.0, done_before + round(length, 1) - bar.n))
    if failed:
        print(f"vexolin: {failed} of {len(jobs)} files failed", file=sys.stderr)
    elif not args.quiet and len(jobs) > 1:
        print(f"vexolin: {len(jobs)} files done", file=sys.stderr)
    return 1 if failed else 0


def _run_key(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        asked = request(CHROMA, {"tuning": args.tuning}, spell=_option)
        if args.sr is not None:
            whole_number("--sr", args.sr)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    failed = 0
    for path in args.files:
        try:
            chroma, _, _, used = feature_of_file(path, asked, sr=args.sr, mono=True, workers=None)
            key = vexolin.estimate_key(chroma, profile=args.profile)
        except AudioFileError as e:
            failed += 1
            print(f"vexolin: error: {e}", file=sys.stderr)
            continue
        except (ValueError, TypeError, OSError, MemoryError, RuntimeError) as e:
            failed += 1
            print(f"vexolin: error: {path}: {e}", file=sys.stderr)
            continue
        print(f"{path}: {key.name} (strength {key.strength:.2f}, tuning {used['tuning']:+.2f})", flush=True)
    return 1 if failed else 0


def _run_info(args: argparse.Namespace) -> int:
    failed = 0
    for path in args.files:
        try:
            about = vexolin.info(path)
        except AudioFileError as e:
            failed += 1
            print(f"vexolin: error: {e}", file=sys.stderr)
            continue
        channels = "1 channel" if about.channels == 1 else f"{about.channels} channels"
        frames = about.n_samples // args.hop_length + 1
        print(f"{path}: {about.format} {about.subtype}, {about.duration:.2f} s, {about.sr} Hz, {channels}, "
              f"{about.n_samples} samples, {frames} frames at hop length {args.hop_length}")
    return 1 if failed else 0


def _run_batch(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        from vexolin import batch
    except ImportError as e:
        raise ValueError(f"vexolin batch needs zarr ({e}): pip install 'vexolin[batch]'") from None
    feature = FEATURES[args.feature]
    for name in _batch_params():
        if getattr(args, name) is not None and name not in feature.defaults():
            parser.error(f"{_option(name)} does not apply to --feature {args.feature}")
    params = _given(args, feature)
    for name, value in list(params.items()):
        if value is _AUTO:
            if feature.defaults()[name] is not None:  # the feature cannot estimate it
                parser.error(f"{_option(name)} auto applies to --feature chroma; "
                             f"--feature {args.feature} takes a number")
            params[name] = None
    from vexolin.batch._inputs import UnreadableFolderWarning
    show = warnings.showwarning

    def one_line(message: Warning | str, category: type[Warning], *rest: Any, **more: Any) -> None:
        if issubclass(category, UnreadableFolderWarning):  # one line, as errors are
            print(f"vexolin: warning: {message}", file=sys.stderr)
        else:
            show(message, category, *rest, **more)

    with warnings.catch_warnings():
        warnings.showwarning = one_line
        summary = batch.extract(args.inputs, out=args.out, feature=args.feature, client=args.scheduler,
                                storage_options=_storage_options(args.storage_option),
                                task_seconds=args.task_seconds, retry_failed=args.retry_failed, fsync=args.fsync,
                                workers=args.workers, progress=False if args.quiet else None, sr=args.sr,
                                mono=args.mono, **params)
    for path, reason in summary.failed.items():
        print(f"vexolin: error: {path}: {reason}", file=sys.stderr)
    if not args.quiet:
        as_before = (f" ({summary.not_retried} as before, not tried again without --retry-failed)"
                     if summary.not_retried else "")
        speed = summary.audio_seconds / summary.elapsed if summary.elapsed > 0 else 0.0
        print(f"vexolin: {summary.computed} computed, {summary.skipped} already in the store, "
              f"{len(summary.failed)} failed{as_before}; {summary.audio_seconds / 3600:.2f} h of audio in "
              f"{summary.elapsed:.1f} s ({speed:.0f}x real time) -> {summary.out}", file=sys.stderr)
    return 1 if summary.failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile
    >>> from vexolin.cli import main
    >>> path = os.path.join(tempfile.mkdtemp(), "silence.wav")
    >>> soundfile.write(path, np.zeros(22050), 22050)
    >>> main(["info", path])  # doctest: +ELLIPSIS
    /.../silence.wav: WAV PCM_16, 1.00 s, 22050 Hz, 1 channel, 22050 samples, 44 frames at hop length 512
    0
    """
    parser = _parser()
    args = parser.parse_args(argv)
    with _names_as_bytes():
        return _run(parser, args)


@contextlib.contextmanager
def _names_as_bytes() -> Iterator[None]:
    """File names that are not UTF-8 (b"b-\\xe9.wav" from an older system)
    printed as their own bytes, as ls and find print them, instead of
    failing to encode."""
    streams = [s for s in (sys.stdout, sys.stderr) if isinstance(s, io.TextIOWrapper)]
    before = [s.errors for s in streams]
    for stream in streams:
        stream.reconfigure(errors="surrogateescape")
    try:
        yield
    finally:
        for stream, errors in zip(streams, before):
            with contextlib.suppress(ValueError):  # closed meanwhile
                stream.reconfigure(errors=errors)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.command == "info" and args.hop_length < 1:
        parser.error(f"--hop-length must be >= 1, got {args.hop_length}")
    try:
        if args.command == "info":
            return _run_info(args)
        if args.command == "batch":
            return _run_batch(parser, args)
        if args.command == "key":
            return _run_key(parser, args)
        return _run_transform(parser, args)
    except BrokenPipeError:
        return _stdout_closed()
    except (ValueError, TypeError, OSError) as e:  # a batch that cannot start: nothing was written
        print(f"vexolin: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as e:  # SIGTERM in batch too, with its own status
        status: int = getattr(e, "exit_status", 130)
        print("vexolin: interrupted" if status == 130 else "vexolin: terminated", file=sys.stderr)
        return status


def _stdout_closed() -> int:
    """The reader of standard output is gone: stop without a message, as Unix tools do."""
    # What is still buffered, and the interpreter's flush at exit, go nowhere
    # instead of failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):  # stdout is not a file (captured, replaced)
        pass
    return _CLOSED_PIPE_STATUS
