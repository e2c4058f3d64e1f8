"""Writing through a temporary name renamed into place, so that a reader, or
a run stopped at any point, sees either the earlier version or the new one,
never a part of one."""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import uuid
from collections.abc import Callable, Iterator
from typing import IO


@contextlib.contextmanager
def staged(path: str | os.PathLike[str], *, scratch: str | os.PathLike[str] | None = None) -> Iterator[str]:
    """A fresh temporary name for what ``path`` is to become (a file or a
    directory), in ``scratch`` (default: beside ``path``). When the block
    ends normally it is renamed onto ``path``; when it raises, it is removed.

    Raises ``FileExistsError`` when ``path`` is a directory that is not empty
    by the time of the rename (a directory is not replaced over one)."""
    target = os.fspath(path)
    folder = os.fspath(scratch) if scratch is not None else os.path.dirname(target) or "."
    os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, f".{os.path.basename(target)}.{uuid.uuid4().hex}.part")
    try:
        yield temporary
        try:
            os.replace(temporary, target)
        except OSError as e:
            if e.errno in (errno.ENOTEMPTY, errno.EEXIST):
                raise FileExistsError(e.errno, f"{target} appeared meanwhile") from None
            raise
    finally:
        if os.path.isdir(temporary) and not os.path.islink(temporary):
            shutil.rmtree(temporary, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)


def write_file(path: str | os.PathLike[str], write: Callable[[IO[bytes]], None]) -> None:
    """Write a file through ``write`` under a temporary name, renamed onto
    ``path`` when complete. The file gets the permissions a new file gets."""
    with staged(path) as temporary, open(temporary, "xb") as f:
        write(f)
