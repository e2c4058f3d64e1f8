"""One file's work on the command line: its feature computed (streamed in
blocks, or from the whole signal when the request needs it), written to its
outputs under temporary names, and its views (the text picture, the plot)."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import IO, Any, NamedTuple

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

import vexolin
from vexolin import _spool
from vexolin._atomic import staged, temporary_name, write_file
from vexolin._chroma import QUIET, cens, for_view, normalise
from vexolin._features import CHROMA, Params
from vexolin._from_file import feature_of_file
from vexolin.cli._parser import MAGNITUDES

_SHADES = " .:-=+*#%@"
_TEXT_COLUMNS = 72


class Job(NamedTuple):
    source: str
    output: Path | None
    plot: Path | None


class Result(NamedTuple):
    values: npt.NDArray[np.float32]
    labels: list[str]
    sr: int
    #: The parameters used, as saved with the result (tuning as estimated).
    params: Params
    #: What the views draw: for chroma, the sums before any norm (views
    #: silence the quiet ones); else the values, magnitudes before decibels.
    drawn: npt.NDArray[np.float32]


def _sums_shown(args: argparse.Namespace) -> bool:
    """Whether the views draw chroma sums, with the quiet rule of every chroma view."""
    return bool(args.request.feature is CHROMA and not args.cens)


def do_file(args: argparse.Namespace, job: Job, bar: tqdm[Any], length: float) -> str | None:
    """One file into its outputs, streamed (or whole, when the request needs
    the whole signal); the text picture when one is shown."""
    if _whole_file(args):
        result = _compute(args, job.source)
        if job.output is not None:
            write_file(job.output, lambda f: _save(args, result, f, args.format))
        if job.plot is not None:
            write_file(job.plot, lambda f: _draw(args, result, f, _title(args, job)))
        if args.text or (args.output is None and args.plot is None):
            return _picture(args, result, _shown(args, result))
        return None
    return _streamed(args, job, bar, length)


def _title(args: argparse.Namespace, job: Job) -> str:
    return f"{os.path.basename(job.source)}: {args.command}"


def _streamed(args: argparse.Namespace, job: Job, bar: tqdm[Any], length: float) -> str | None:
    from vexolin._stream import FileFrames

    asked = args.request
    sums = _sums_shown(args)
    # Chroma is streamed as its sums: the output scales them, and the views
    # silence the quiet frames as they do for the whole signal.
    frames_of = FileFrames(job.source, asked.with_params(norm=None) if sums else asked, sr=args.sr, mono=True)
    used_request = frames_of.request.with_params(norm=asked["norm"]) if sums else frames_of.request
    labels = used_request.labels
    used = {**used_request.params, "cens": False} if asked.feature is CHROMA else used_request.params
    levels: list[npt.NDArray[np.float32]] = []
    seconds = 0.0

    def tracked(blocks: Iterable[npt.NDArray[np.float32]]) -> Iterator[npt.NDArray[np.float32]]:
        nonlocal seconds
        for block in blocks:
            if not block.shape[-1]:
                continue
            if sums:
                levels.append(block.max(axis=0))
                block = normalise(block, asked["norm"], 0.0)
            step = min(block.shape[-1] * args.hop_length / frames_of.sr, max(0.0, length - seconds))
            seconds += step
            bar.update(step)
            yield asked.as_rows(block)

    def result_of(values: npt.NDArray[np.float32]) -> Result:
        drawn = values * np.concatenate(levels)[None, :] if sums and levels else values
        return Result(values, labels, frames_of.sr, used, drawn)

    with _spooled(job, args.format) as spool:
        with open(spool, "wb") as f:
            _spool.write_frames(f, tracked(frames_of), len(labels))
        rate = frames_of.sr
        if job.plot is not None:  # magnitudes, before any decibels
            result = result_of(np.array(_spool.open_frames(spool)))
            write_file(job.plot, lambda f: _draw(args, result, f, _title(args, job)))
        if args.command in MAGNITUDES and args.db:
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
            shown = np.array(_spool.open_frames(spool))
            text = _picture(args, result_of(shown), shown)
    return text


def scratch_folder(job: Job) -> str:
    """Where a file's frames are spooled when the output is not a ``.npy``
    file: beside the output, or in the temporary folder."""
    return os.path.dirname(job.output) or "." if job.output is not None else tempfile.gettempdir()


@contextlib.contextmanager
def _spooled(job: Job, fmt: str) -> Iterator[str]:
    """Where a file's frames are written as they arrive: the output itself
    (under its temporary name, sealed once complete) for ``npy``, else a
    scratch file removed after."""
    if job.output is not None and fmt == "npy":
        with staged(job.output) as temporary:
            yield temporary
            _spool.seal(temporary)
        return
    folder = scratch_folder(job)
    os.makedirs(folder, exist_ok=True)
    scratch = temporary_name(folder, "vexolin-spool")
    try:
        yield scratch
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(scratch)


def _whole_file(args: argparse.Namespace) -> bool:
    """Whether a file's feature needs its whole signal at once: no stream
    gives it (chroma's threshold, its norms 1 and 2, CENS)."""
    return bool(not args.request.streams or args.request.feature is CHROMA and args.cens)


def _compute(args: argparse.Namespace, path: str) -> Result:
    """A file's feature from its whole signal, as the package functions give it."""
    if args.request.feature is CHROMA:
        # One transform gives the sums: the output scales them, the views
        # silence the quiet ones before scaling.
        sums = args.request.with_params(norm=None, threshold=0.0)
        folded, sr, _, computed = feature_of_file(path, sums, sr=args.sr, mono=True, workers=None)
        used = {**computed.params, "norm": args.params["norm"], "threshold": args.params["threshold"]}
        values = cens(folded, 41) if args.cens else normalise(folded, used["norm"], used["threshold"])
        return Result(values, computed.labels, sr, {**used, "cens": args.cens}, values if args.cens else folded)
    values, sr, _, computed = feature_of_file(path, args.request, sr=args.sr, mono=True, workers=None)
    rows = computed.as_rows(values)
    return Result(rows, computed.labels, sr, computed.params, rows)


def _shown(args: argparse.Namespace, result: Result) -> npt.NDArray[np.float32]:
    """The values that are saved: magnitudes, or decibels with --db."""
    if args.command in MAGNITUDES and args.db:
        return vexolin.amplitude_to_db(result.values, ref=np.max).astype(np.float32)
    return result.values


def _save(args: argparse.Namespace, result: Result, f: IO[bytes], fmt: str) -> None:
    values = _shown(args, result)
    times = vexolin.times_like(values, sr=result.sr, hop_length=args.hop_length)
    if fmt == "npy":
        np.save(f, values)
    elif fmt == "npz":
        # With how it was made: the version, every parameter and the tuning used.
        arrays: dict[str, Any] = {args.command: values, "times": times, "labels": np.array(result.labels),
                                  "sr": result.sr, "hop_length": args.hop_length, "vexolin": vexolin.__version__,
                                  "params": json.dumps(_provenance(args, result.params, result.sr))}
        if "tuning" in result.params:
            arrays["tuning"] = result.params["tuning"]
        np.savez(f, **arrays)
    else:  # one row per frame: its time, then one column per row of the result
        np.savetxt(f, np.column_stack([times, values.T]), delimiter=",", fmt="%.7g",
                   header=",".join(["time", *result.labels]), comments="")


def _provenance(args: argparse.Namespace, params: Params, sr: int) -> dict[str, Any]:
    return {"feature": args.command, **params, "sr": sr,
            **({"db": args.db} if args.command in MAGNITUDES else {})}


def _draw(args: argparse.Namespace, result: Result, f: IO[bytes], title: str) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ValueError("--plot needs matplotlib: pip install 'vexolin[plot]'") from None
    import vexolin.plot

    chroma = args.request.feature.from_sums is not None
    figure = Figure(figsize=(10, 4 if chroma else 6), layout="constrained")
    ax = figure.add_subplot()
    if chroma:  # sums with the quiet rule of every chroma view; CENS as it is
        vexolin.plot.chromagram(result.drawn, sr=result.sr, hop_length=args.hop_length,
                                threshold=QUIET if _sums_shown(args) else 0.0, ax=ax)
    elif "harmonics" in args.params:  # a panel per harmonic, its bins from harmonic * fmin, top harmonic on top
        figure.clear()
        harmonics = args.params["harmonics"]
        drawn = result.drawn.reshape(len(harmonics), -1, result.drawn.shape[-1])
        axes = figure.subplots(len(harmonics), 1, sharex=True, squeeze=False)[::-1, 0]
        for panel, harmonic, values in zip(axes, harmonics, drawn):
            vexolin.plot.cqt(values, sr=result.sr, hop_length=args.hop_length, fmin=harmonic * args.params["fmin"],
                             bins_per_octave=args.params["bins_per_octave"], ax=panel)
            panel.set_ylabel(f"h{harmonic:g}")
        ax = axes[-1]
    else:  # magnitudes, drawn in decibels with or without --db
        vexolin.plot.cqt(result.drawn, sr=result.sr, hop_length=args.hop_length, fmin=args.params["fmin"],
                         bins_per_octave=args.params["bins_per_octave"], ax=ax)
    ax.set_title(title)
    figure.savefig(f, format="png", dpi=100, metadata={
        "Software": f"vexolin {vexolin.__version__}",
        "Description": json.dumps(_provenance(args, result.params, result.sr))})


def _picture(args: argparse.Namespace, result: Result, shown: npt.NDArray[np.float32]) -> str:
    """The text picture: chroma sums with the quiet rule of every chroma view, else the values shown."""
    image = for_view(result.drawn) if _sums_shown(args) else shown
    return _text(image, result.labels, result.sr, args.hop_length)


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
