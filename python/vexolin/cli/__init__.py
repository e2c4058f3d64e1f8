"""The ``vexolin`` command line: chroma features and CQT spectrograms of
audio files, their chords and keys, and what a file holds.

Each file is done on its own: a file that fails gets one line on stderr and
the others go on; the exit status is 1 when any failed. A folder stands for
the audio files below it, found as ``vexolin batch`` finds them. A file is
read, computed and written in blocks (``vexolin._stream.FileFrames``, the
loop ``stream_file`` and batch's long files go through), so memory stays
bounded whatever its length; chroma's estimated tuning comes from a first
pass that keeps only the frames the estimate reads. A feature no stream
gives (chroma with norm 1 or 2 or a threshold, CENS) reads the whole file
at once (memory in proportion to its length). Outputs are written under a
temporary name and renamed, so an interrupted run never leaves a truncated
file under the final name; Ctrl-C and SIGTERM remove the temporaries, and
those of a run killed outright are removed by the next run writing there
once its process has ended. A reader that closes standard output early
(``| head``) ends the run quietly, with the status a shell gives a command
stopped by SIGPIPE (141), as ``cat`` or ``seq`` would.

The commands and their options come from the feature table
(``vexolin._features``), shared with the package and batch: the parser
(``_parser``), one file's work and its views (``_file``), the commands
(``_commands``) and the standard streams (``_pipes``).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from vexolin._signals import sigterm_as_interrupt
from vexolin.cli._commands import run_batch, run_chords, run_feature, run_info, run_key, run_match
from vexolin.cli._parser import parser as _parser
from vexolin.cli._pipes import StandardOutputClosed, closed_streams_held, names_as_bytes, stdout_closed

__all__ = ["main"]


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
    with closed_streams_held():
        parser = _parser()
        args = parser.parse_args(argv)
        with names_as_bytes(), sigterm_as_interrupt():
            return _run(parser, args)


def _run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    if args.command == "info" and args.hop_length < 1:
        parser.error(f"--hop-length must be >= 1, got {args.hop_length}")
    try:
        if args.command == "info":
            return run_info(args)
        if args.command == "batch":
            return run_batch(parser, args)
        if args.command == "key":
            return run_key(parser, args)
        if args.command == "match":
            return run_match(args)
        if args.command == "chords":
            return run_chords(parser, args)
        return run_feature(parser, args)
    except BrokenPipeError:
        return stdout_closed()
    except StandardOutputClosed as e:
        print(f"vexolin: error: {e}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, OSError) as e:  # a batch that cannot start: nothing was written
        print(f"vexolin: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as e:  # SIGTERM too, with its own status
        status: int = getattr(e, "exit_status", 130)
        print("vexolin: interrupted" if status == 130 else "vexolin: terminated", file=sys.stderr)
        return status
