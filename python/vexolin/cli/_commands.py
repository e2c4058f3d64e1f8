"""The commands: a feature of each file (``chroma``, ``cqt``, ...), ``chords``,
``key``, ``info``, ``batch`` and ``match``. Each file is done on its own: a file that fails gets
one line on stderr and the others go on."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from tqdm import tqdm

import vexolin
from vexolin._atomic import remove_stale
from vexolin._checks import whole_number
from vexolin._atomic import write_file
from vexolin._features import CHORDS, CHROMA, FEATURES, request
from vexolin._folders import UnreadableFolderWarning, local_files, warn_unreadable
from vexolin._from_file import feature_of_file
from vexolin._io import AudioFileError
from vexolin.cli._file import Job, do_file, scratch_folder
from vexolin.cli._parser import AUTO, FORMATS, batch_params, given, option, storage_options

# What a file can go wrong with: one line for it, and the others go on.
_FILE_ERRORS = (ValueError, TypeError, OSError, MemoryError, RuntimeError)


@contextlib.contextmanager
def _warnings_in_one_line() -> Iterator[None]:
    """Folders that cannot be read get one line each, as errors do."""
    show = warnings.showwarning

    def one_line(message: Warning | str, category: type[Warning], *rest: Any, **more: Any) -> None:
        if issubclass(category, UnreadableFolderWarning):
            print(f"vexolin: warning: {message}", file=sys.stderr)
        else:
            show(message, category, *rest, **more)

    with warnings.catch_warnings():
        warnings.showwarning = one_line
        yield


def _files(names: list[str]) -> tuple[list[str], int]:
    """The files the inputs name, a folder's audio files found as ``vexolin
    batch`` finds them (sorted, searched recursively); and how many inputs
    failed (a folder without audio files, with one line each). A name that
    is not a folder stays as it is: a missing file fails on its own."""
    files: dict[str, None] = {}
    failed = 0
    skipped: dict[str, str] = {}
    with _warnings_in_one_line():
        for name in names:
            if not os.path.isdir(name):
                files.setdefault(name, None)
                continue
            try:
                found = local_files(name, skipped)
            except (ValueError, OSError) as e:
                failed += 1
                skipped.clear()  # told already, before the error
                print(f"vexolin: error: {e}", file=sys.stderr)
                continue
            for path in sorted(found):
                files.setdefault(path, None)
        warn_unreadable(skipped)
    return list(files), failed


def _is_directory(named: str) -> bool:
    return named.endswith(("/", os.sep)) or os.path.isdir(named)


def _jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[Job]:
    """Where each input's outputs go: the given names for one input, a directory for several.
    Settles ``args.format``; a bad combination is a usage error before any work."""
    for flag, named in (("-o", args.output), ("--plot", args.plot)):
        if named is not None and len(args.files) > 1 and not _is_directory(named):
            parser.error(f"{flag} {named}: with {len(args.files)} input files, {flag} must be a "
                         f"directory that exists or ends with a slash ({named}/)")

    def through_link(path: Path) -> Path:
        # An output named by a symbolic link is written to what the link
        # points to, as `>` and cp write: the link stays, and so does
        # whatever arrangement it is part of (a "latest" link, a bigger disk).
        if not path.is_symlink():
            return path
        target = Path(os.path.realpath(path))
        if target.is_symlink():
            parser.error(f"{path}: the symbolic links loop, so there is no file to write")
        return target

    def targets(named: str | None, ext: str) -> list[Path | None]:
        if named is None:
            return [None] * len(args.files)
        if not _is_directory(named):
            return [through_link(Path(named))]
        stems = [Path(source).stem for source in args.files]
        if len(set(stems)) < len(stems):
            parser.error(f"several inputs share a file name, so their outputs in {named} would collide")
        return [through_link(Path(named) / f"{stem}.{args.command}.{ext}") for stem in stems]

    if args.format is None:
        args.format = "npy"
        if args.output is not None and not _is_directory(args.output):
            suffix = os.path.splitext(args.output)[1][1:].lower()
            if suffix not in FORMATS:
                parser.error(f"-o {args.output}: {f'.{suffix} is not' if suffix else 'no suffix names'} an "
                             "output format; name the file .npy, .npz or .csv, or give --format")
            args.format = suffix
    return [Job(*job) for job in zip(args.files, targets(args.output, args.format), targets(args.plot, "png"))]


def run_feature(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    feature = FEATURES[args.command]
    try:  # once, before any work: a bad value is the same for every file
        args.request = request(feature, given(args, feature), spell=option)
        args.params = args.request.params
        if args.sr is not None:
            whole_number("--sr", args.sr)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    if getattr(args, "cens", False) and (args.params["norm"] != "inf" or args.params["threshold"] != 0.0):
        parser.error("--cens has its own normalisation: drop --norm and --threshold")
    args.hop_length = args.params["hop_length"]
    args.files, unlisted = _files(args.files)
    jobs = _jobs(parser, args)
    seconds = []
    for job in jobs:  # the bar's length: seconds of audio, so long files weigh more
        try:
            seconds.append(vexolin.info(job.source).duration)
        except AudioFileError:
            seconds.append(0.0)
    # What runs killed outright left where this one writes: removed once their process is gone.
    for folder in {os.path.dirname(path) or "." for job in jobs for path in (job.output, job.plot) if path} | \
            {scratch_folder(job) for job in jobs}:
        remove_stale(folder)
    failed = unlisted
    show = not args.quiet and sys.stderr.isatty()
    with tqdm(total=round(sum(seconds), 1), unit="s", file=sys.stderr, disable=not show,
              bar_format="{l_bar}{bar}| {n:.0f}/{total:.0f} s of audio [{elapsed}<{remaining}{postfix}]") as bar:
        for job, length in zip(jobs, seconds):
            bar.set_postfix_str(os.path.basename(job.source))
            done_before = bar.n
            try:
                picture = do_file(args, job, bar, round(length, 1))
            except AudioFileError as e:
                failed += 1
                tqdm.write(f"vexolin: error: {e}", file=sys.stderr)
            except _FILE_ERRORS as e:
                failed += 1
                tqdm.write(f"vexolin: error: {job.source}: {e}", file=sys.stderr)
            else:
                if picture is not None:
                    if len(jobs) > 1:
                        print(f"== {job.source}")
                    print(picture, flush=True)
            bar.update(max(0.0, done_before + round(length, 1) - bar.n))
    if failed:
        print(f"vexolin: {failed} of {len(jobs) + unlisted} files failed", file=sys.stderr)
    elif not args.quiet and len(jobs) > 1:
        print(f"vexolin: {len(jobs)} files done", file=sys.stderr)
    return 1 if failed else 0


def run_key(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        asked = request(CHROMA, {"tuning": args.tuning}, spell=option)
        if args.sr is not None:
            whole_number("--sr", args.sr)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    files, failed = _files(args.files)
    for path in files:
        try:
            chroma, rate, _, used = feature_of_file(path, asked, sr=args.sr, mono=True, workers=None)
            key = vexolin.estimate_key(chroma, profile=args.profile, sr=rate, hop_length=used.hop_length)
        except AudioFileError as e:
            failed += 1
            print(f"vexolin: error: {e}", file=sys.stderr)
            continue
        except _FILE_ERRORS as e:
            failed += 1
            print(f"vexolin: error: {path}: {e}", file=sys.stderr)
            continue
        print(f"{path}: {key.name} (strength {key.strength:.2f}, tuning {used['tuning']:+.2f})", flush=True)
    return 1 if failed else 0


def run_chords(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        asked = request(CHORDS, given(args, CHORDS), spell=option)
        if args.sr is not None:
            whole_number("--sr", args.sr)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    files, unlisted = _files(args.files)
    failed = unlisted
    one_file = args.output is not None and args.output.lower().endswith(".lab")
    if one_file and len(files) > 1:
        parser.error(f"-o {args.output}: with {len(files)} input files, -o must be a directory for NAME.lab "
                     "of each (a name ending .lab is one file)")
    if args.output is not None and not one_file:
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            parser.error(f"-o {args.output}: not a directory; name a directory for NAME.lab of each input, "
                         "or a file ending .lab")
        stems = [Path(path).stem for path in files]
        if len(set(stems)) < len(stems):
            parser.error(f"several inputs share a file name, so their outputs in {args.output} would collide")
    for path in files:
        try:
            chords = chords_of_file(path, asked, args.sr)
        except AudioFileError as e:
            failed += 1
            print(f"vexolin: error: {e}", file=sys.stderr)
            continue
        except _FILE_ERRORS as e:
            failed += 1
            print(f"vexolin: error: {path}: {e}", file=sys.stderr)
            continue
        text = chords.lab_text()
        if args.output is None:
            if len(files) > 1:
                print(f"== {path}")
            sys.stdout.write(text)
            sys.stdout.flush()
            continue
        target = Path(args.output) if one_file else Path(args.output) / f"{Path(path).stem}.lab"
        target.parent.mkdir(parents=True, exist_ok=True)

        def lab(f: Any, text: str = text) -> None:
            f.write(text.encode("utf-8"))

        write_file(target, lab)
    if failed:
        print(f"vexolin: {failed} of {len(files) + unlisted} files failed", file=sys.stderr)
    return 1 if failed else 0


def chords_of_file(path: str, asked: Any, sr: int | None) -> Any:
    """The chords of a file as batch computes them, as :class:`vexolin.Chords`."""
    values, rate, n_samples, used = feature_of_file(path, asked, sr=sr, mono=True, workers=None)
    return vexolin.Chords.from_frames(values[0].astype("int16"), vocabulary=used["vocabulary"], sr=rate,
                                      hop_length=used.hop_length, tuning=used["tuning"], end=n_samples / rate,
                                      frame_confidence=values[1], params=used.json())


def run_info(args: argparse.Namespace) -> int:
    files, failed = _files(args.files)
    for path in files:
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


def run_batch(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        from vexolin import batch
    except ImportError as e:
        raise ValueError(f"vexolin batch needs zarr ({e}): pip install 'vexolin[batch]'") from None
    feature = FEATURES[args.feature]
    for name in batch_params():
        if getattr(args, name) is not None and name not in feature.defaults():
            parser.error(f"{option(name)} does not apply to --feature {args.feature}")
    params = given(args, feature)
    for name, value in list(params.items()):
        if value is AUTO:
            if feature.defaults()[name] is not None:  # the feature cannot estimate it
                estimating = [f.name for f in FEATURES.values() if f.defaults().get(name, 0.0) is None]
                parser.error(f"{option(name)} auto applies to --feature {' or '.join(estimating)}; "
                             f"--feature {args.feature} takes a number")
            params[name] = None
    with _warnings_in_one_line():
        summary = batch.extract(args.inputs, out=args.out, feature=args.feature, client=args.scheduler,
                                storage_options=storage_options(args.storage_option),
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


def run_match(args: argparse.Namespace) -> int:
    try:
        from vexolin._match import match
    except ImportError as e:
        raise ValueError(f"vexolin match reads stores, which needs zarr ({e}): pip install 'vexolin[batch]'") from None
    found = match(
        args.query, args.store, top_k=args.top, transpose=args.transpose,
        tempo=None if args.tempo == (1.0, 1.0) else args.tempo, workers=args.workers, client=args.scheduler,
        storage_options=storage_options(args.storage_option))
    if args.json:
        print(json.dumps([m.as_dict() for m in found], indent=1))
    for rank, m in enumerate(found if not args.json else [], start=1):
        print(f"{rank}\t{m.path}\t{m.start:.2f}\t{m.end:.2f}\t{m.shift:+d}\t{m.score:.4f}")
    return 0
