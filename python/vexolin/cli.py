"""The ``vexolin`` command line: chroma features and CQT spectrograms of
audio files, and what a file holds.

Each file is done on its own: a file that fails gets one line on stderr and
the others go on; the exit status is 1 when any failed. Outputs are written
under a temporary name and renamed, so an interrupted run never leaves a
truncated file under the final name.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

import vexolin
from vexolin._io import AudioFileError

_SHADES = " .:-=+*#%@"
_TEXT_COLUMNS = 72


class _Job(NamedTuple):
    source: str
    output: Path | None
    plot: Path | None


class _Result(NamedTuple):
    values: npt.NDArray[np.float32]
    labels: list[str]
    sr: int


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexolin", description="Constant-Q transform and chroma features of audio files.")
    parser.add_argument("--version", action="version", version=f"vexolin {vexolin.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def transform(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("files", nargs="+", metavar="FILE", help="audio files (WAV, FLAC, OGG, MP3, ...)")
        sub.add_argument("-o", "--output", type=Path, metavar="OUT",
                         help="output file; with several inputs, a directory for NAME.%s.EXT" % name)
        sub.add_argument("--format", choices=("npy", "npz", "csv"),
                         help="output format (default: from the suffix of OUT, else npy)")
        sub.add_argument("--plot", type=Path, metavar="PNG",
                         help="draw a PNG; with several inputs, a directory for NAME.%s.png" % name)
        sub.add_argument("--text", action="store_true",
                         help="print a text picture (the default when neither -o nor --plot is given)")
        sub.add_argument("--sr", type=int, help="resample to this rate in Hz (default: the file's rate)")
        sub.add_argument("--hop-length", type=int, default=512, help="samples between frames (default 512)")
        sub.add_argument("--fmin", type=float, help="lowest bin in Hz (default C1, 32.70 Hz)")
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
        return sub

    chroma = transform("chroma", "Chroma features (pitch classes over time).")
    chroma.add_argument("--bins-per-octave", type=int, default=36, help="default 36")
    chroma.add_argument("--n-octaves", type=int, default=7, help="default 7")
    chroma.add_argument("--n-chroma", type=int, default=12, help="default 12")

    cqt = transform("cqt", "CQT magnitudes (a spectrogram on a log-frequency axis).")
    cqt.add_argument("--n-bins", type=int, default=84, help="default 84")
    cqt.add_argument("--bins-per-octave", type=int, default=12, help="default 12")
    cqt.add_argument("--db", action="store_true", help="decibels relative to the peak instead of magnitudes")

    batch = commands.add_parser(
        "batch", help="Features of a whole collection into one Zarr store, resumable.",
        description="Features of every input file into one Zarr store (with a table of every file, "
                    "files.csv), on threads here or on a Dask cluster. A second run skips files done.")
    batch.add_argument("inputs", nargs="+", metavar="INPUT",
                       help="audio files, directories (searched recursively) or glob patterns")
    batch.add_argument("--out", required=True, type=Path, metavar="STORE", help="the Zarr store (a directory)")
    batch.add_argument("--feature", choices=("chroma", "cqt"), default="chroma",
                       help="chroma features or CQT magnitudes (default chroma)")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786 "
                            "(default: threads in this process)")
    batch.add_argument("--workers", type=int, help="threads in this process (default: one per CPU)")
    batch.add_argument("--sr", type=int, help="resample to this rate in Hz (default: each file's rate)")
    batch.add_argument("--mono", action=argparse.BooleanOptionalAction, default=True,
                       help="mix channels down (default); --no-mono keeps a channel axis")
    batch.add_argument("--hop-length", type=int, default=512, help="samples between frames (default 512)")
    batch.add_argument("--fmin", type=float, help="lowest bin in Hz (default C1, 32.70 Hz)")
    batch.add_argument("--bins-per-octave", type=int, help="default 36 for chroma, 12 for cqt")
    batch.add_argument("--n-octaves", type=int, help="chroma only; default 7")
    batch.add_argument("--n-chroma", type=int, help="chroma only; default 12")
    batch.add_argument("--n-bins", type=int, help="cqt only; default 84")
    batch.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    about = commands.add_parser("info", help="Duration, rate, channels and frame count of audio files.")
    about.add_argument("files", nargs="+", metavar="FILE")
    about.add_argument("--hop-length", type=int, default=512, help="hop for the frame count (default 512)")
    return parser


def _compute(args: argparse.Namespace, path: str) -> _Result:
    y, sr = vexolin.load(path, sr=args.sr)
    if y.size == 0:
        raise ValueError("the file holds no samples")
    if not np.isfinite(y).all():
        raise ValueError("the file holds NaN or infinite samples")
    common = dict(sr=sr, hop_length=args.hop_length, fmin=args.fmin, check_finite=False)
    if args.command == "chroma":
        values = vexolin.chroma_cqt(y, bins_per_octave=args.bins_per_octave, n_octaves=args.n_octaves,
                                    n_chroma=args.n_chroma, **common)
        return _Result(values, vexolin.chroma_notes(args.n_chroma), sr)
    values = vexolin.cqt_magnitude(y, n_bins=args.n_bins, bins_per_octave=args.bins_per_octave, **common)
    return _Result(values, vexolin.bin_notes(args.n_bins, fmin=args.fmin, bins_per_octave=args.bins_per_octave), sr)


def _shown(args: argparse.Namespace, result: _Result) -> npt.NDArray[np.float32]:
    """The values that are saved and printed: magnitudes, or decibels with --db."""
    if args.command == "cqt" and args.db:
        return vexolin.amplitude_to_db(result.values, ref=np.max).astype(np.float32)
    return result.values


def _write_atomically(path: Path, write: Callable[[IO[bytes]], None], mode: int) -> None:
    """Write through a temporary file beside ``path``, renamed into place when complete."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _save(args: argparse.Namespace, result: _Result, f: IO[bytes], fmt: str) -> None:
    values = _shown(args, result)
    times = vexolin.times_like(values, sr=result.sr, hop_length=args.hop_length)
    if fmt == "npy":
        np.save(f, values)
    elif fmt == "npz":
        arrays: dict[str, Any] = {args.command: values, "times": times, "labels": np.array(result.labels),
                                  "sr": result.sr, "hop_length": args.hop_length}
        np.savez(f, **arrays)
    else:  # one row per frame: its time, then one column per row of the result
        np.savetxt(f, np.column_stack([times, values.T]), delimiter=",", fmt="%.7g",
                   header=",".join(["time", *result.labels]), comments="")


def _draw(args: argparse.Namespace, result: _Result, f: IO[bytes], title: str) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ValueError("--plot needs matplotlib: pip install 'vexolin[plot]'") from None
    import vexolin.plot

    figure = Figure(figsize=(10, 4 if args.command == "chroma" else 6), layout="constrained")
    ax = figure.add_subplot()
    if args.command == "chroma":
        vexolin.plot.chromagram(result.values, sr=result.sr, hop_length=args.hop_length, ax=ax)
    else:
        vexolin.plot.cqt(result.values, sr=result.sr, hop_length=args.hop_length, fmin=args.fmin,
                         bins_per_octave=args.bins_per_octave, db=args.db, ax=ax)
    ax.set_title(title)
    figure.savefig(f, format="png", dpi=100)


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


def _jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[_Job]:
    """Where each input's outputs go: the given names for one input, a directory for several."""
    def targets(given: Path | None, ext: str) -> list[Path | None]:
        if given is None:
            return [None] * len(args.files)
        if len(args.files) == 1 and not given.is_dir():
            return [given]
        stems = [Path(source).stem for source in args.files]
        if len(set(stems)) < len(stems):
            parser.error(f"several inputs share a file name, so their outputs in {given} would collide")
        return [given / f"{stem}.{args.command}.{ext}" for stem in stems]

    fmt = args.format or (args.output.suffix[1:] if args.output is not None
                          and args.output.suffix[1:] in ("npy", "npz", "csv") else "npy")
    args.format = fmt
    return [_Job(*job) for job in zip(args.files, targets(args.output, fmt), targets(args.plot, "png"))]


def _run_transform(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    jobs = _jobs(parser, args)
    text = args.text or (args.output is None and args.plot is None)
    mask = os.umask(0)
    os.umask(mask)
    mode = 0o666 & ~mask
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
            try:
                result = _compute(args, job.source)
                if job.output is not None:
                    _write_atomically(job.output, lambda f: _save(args, result, f, args.format), mode)
                if job.plot is not None:
                    title = f"{os.path.basename(job.source)}: {args.command}"
                    _write_atomically(job.plot, lambda f: _draw(args, result, f, title), mode)
            except AudioFileError as e:
                failed += 1
                tqdm.write(f"vexolin: error: {e}", file=sys.stderr)
            except (ValueError, TypeError, OSError, MemoryError, RuntimeError) as e:
                failed += 1
                tqdm.write(f"vexolin: error: {job.source}: {e}", file=sys.stderr)
            else:
                if text:
                    if len(jobs) > 1:
                        print(f"== {job.source}")
                    print(_text(_shown(args, result), result.labels, result.sr, args.hop_length), flush=True)
            bar.update(round(length, 1))
    if failed:
        print(f"vexolin: {failed} of {len(jobs)} files failed", file=sys.stderr)
    elif not args.quiet and len(jobs) > 1:
        print(f"vexolin: {len(jobs)} files done", file=sys.stderr)
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
    own = ("n_octaves", "n_chroma") if args.feature == "chroma" else ("n_bins",)
    for name in ("n_octaves", "n_chroma", "n_bins"):
        if getattr(args, name) is not None and name not in own:
            parser.error(f"--{name.replace('_', '-')} does not apply to --feature {args.feature}")
    params = {name: getattr(args, name) for name in ("bins_per_octave", *own) if getattr(args, name) is not None}
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
                                workers=args.workers, progress=False if args.quiet else None, sr=args.sr,
                                mono=args.mono, hop_length=args.hop_length, fmin=args.fmin, **params)
    for path, reason in summary.failed.items():
        print(f"vexolin: error: {path}: {reason}", file=sys.stderr)
    if not args.quiet:
        speed = summary.audio_seconds / summary.elapsed if summary.elapsed > 0 else 0.0
        print(f"vexolin: {summary.computed} computed, {summary.skipped} already in the store, "
              f"{len(summary.failed)} failed; {summary.audio_seconds / 3600:.2f} h of audio in "
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
    if args.hop_length < 1:
        parser.error(f"--hop-length must be >= 1, got {args.hop_length}")
    try:
        if args.command == "info":
            return _run_info(args)
        if args.command == "batch":
            return _run_batch(parser, args)
        return _run_transform(parser, args)
    except (ValueError, TypeError, OSError) as e:  # a batch that cannot start: nothing was written
        print(f"vexolin: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("vexolin: interrupted", file=sys.stderr)
        return 130
