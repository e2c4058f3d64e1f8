"""Writing through a temporary name renamed into place, so that a reader, or
a run stopped at any point, sees either the earlier version or the new one,
never a part of one. A temporary's name says which process made it, so that
what a process killed outright (SIGKILL, a crash) left behind is removed by
a later run once that process is provably gone."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import shutil
import uuid
from collections.abc import Callable, Iterator
from typing import IO

from vexolin._owner import is_gone, machine

# ".<name>.vx<pid>-<machine>-<random>.part": hidden, and never taken for a result.
_TEMPORARY = re.compile(r"\..+\.vx(?P<pid>[0-9]+)-(?P<machine>[0-9a-f]{10})-[0-9a-f]{12}\.part")


def temporary_name(folder: str, name: str) -> str:
    """A fresh temporary name in ``folder`` for ``name``, naming this process."""
    return os.path.join(folder, f".{name}.vx{os.getpid()}-{machine()}-{uuid.uuid4().hex[:12]}.part")


def remove_stale(folder: str | os.PathLike[str]) -> list[str]:
    """Remove from ``folder`` the temporaries of processes of this machine
    that are gone (killed outright before they could remove them); the names
    removed. Temporaries of live processes and of other machines stay."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    removed = []
    for name in names:
        found = _TEMPORARY.fullmatch(name)
        if found is None or not is_gone(int(found["pid"]), found["machine"]):
            continue
        path = os.path.join(folder, name)
        with contextlib.suppress(OSError):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
            removed.append(name)
    return removed


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
    temporary = temporary_name(folder, os.path.basename(target))
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
    ``path`` when complete. The file gets the permissions a new file gets.
    An ``OSError`` (a full disk, say) leaves an earlier file at ``path`` as it
    was and names ``path``, not the temporary."""
    target = os.fspath(path)
    try:
        with staged(target) as temporary, open(temporary, "xb") as f:
            write(f)
    except OSError as e:
        named = e.filename is not None and not _TEMPORARY.fullmatch(os.path.basename(str(e.filename)))
        if e.errno is None or named or target in str(e.strerror):
            raise
        raise OSError(e.errno, e.strerror, target) from None
