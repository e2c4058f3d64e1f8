"""SIGTERM, which job schedulers (SLURM, Kubernetes) and service managers
send before killing a process, taken like Ctrl-C: a command or a batch run
stops the same way, removing its temporaries (and writing its table)."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType


class Terminated(KeyboardInterrupt):
    """The run was sent SIGTERM (a ``KeyboardInterrupt``, so that it stops as Ctrl-C does).

    Examples
    --------
    >>> from vexolin import batch
    >>> issubclass(batch.Terminated, KeyboardInterrupt), batch.Terminated.exit_status  # 128 + SIGTERM
    (True, 143)
    """

    #: What a shell reports for a command ended by SIGTERM.
    exit_status = 128 + signal.SIGTERM


def _raise(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


@contextlib.contextmanager
def sigterm_as_interrupt() -> Iterator[None]:
    """SIGTERM raises :class:`Terminated` (a ``KeyboardInterrupt``) in the
    main thread for the block's length; elsewhere signals cannot be caught."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
