"""The command line's standard streams: file names that are not UTF-8
printed as their own bytes, a reader that closes standard output early
(``| head``) ending the run quietly, as Unix tools do, and streams closed
before the run started (``2>&-``, ``>&-``)."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import sys
from collections.abc import Iterator

# The status a shell reports for a command stopped by SIGPIPE (128 + 13).
CLOSED_PIPE_STATUS = 141


class StandardOutputClosed(OSError):
    """A command whose output is standard output was started with it closed (``>&-``)."""

    def __str__(self) -> str:
        return "standard output is closed, and this command's output goes there (give -o, or leave it open)"


class _Closed(io.TextIOBase):
    """Standard output that was closed before the run: writing to it fails, as ``cat`` and ``seq`` fail."""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        raise StandardOutputClosed(errno.EBADF, "standard output is closed")


@contextlib.contextmanager
def closed_streams_held() -> Iterator[None]:
    """Standard streams closed before the run, made safe for its length.
    Their descriptors are held on /dev/null, so that no file the run opens
    takes their number (a library's stray write to descriptor 2 would land
    in an output). Without a standard error the work is done and nothing is
    shown (errors still set the exit status); without a standard output, a
    command writing there fails with one line instead of exiting 0 with
    nothing written."""
    for fd, mode in ((0, os.O_RDONLY), (1, os.O_WRONLY), (2, os.O_WRONLY)):
        try:
            os.fstat(fd)
        except OSError:
            held = os.open(os.devnull, mode)
            if held != fd:
                os.dup2(held, fd)
                os.close(held)
    before = sys.stdout, sys.stderr
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w", encoding="utf-8")  # noqa: SIM115 (closed below)
    if sys.stdout is None:
        sys.stdout = _Closed()
    try:
        yield
    finally:
        for replaced in {sys.stdout, sys.stderr} - set(before):
            replaced.close()
        sys.stdout, sys.stderr = before


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
