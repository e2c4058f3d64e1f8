"""The command line's standard streams: file names that are not UTF-8
printed as their own bytes, and a reader that closes standard output early
(``| head``) ending the run quietly, as Unix tools do."""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Iterator

# The status a shell reports for a command stopped by SIGPIPE (128 + 13).
CLOSED_PIPE_STATUS = 141


@contextlib.contextmanager
def names_as_bytes() -> Iterator[None]:
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


def stdout_closed() -> int:
    """The reader of standard output is gone: stop without a message, with
    the status of a command stopped by SIGPIPE (141), as ``cat`` or ``seq``."""
    # What is still buffered, and the interpreter's flush at exit, go nowhere
    # instead of failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):  # stdout is not a file (captured, replaced)
        pass
    return CLOSED_PIPE_STATUS
