"""Which process made a temporary file or holds a lock, and whether it is
provably gone: its pid, on this same machine (same host, same boot, same
process namespace), and no process of that pid left. Anything else (another
machine, a pid reused by a live process) counts as still there."""

from __future__ import annotations

import functools
import hashlib
import os
import socket


@functools.cache
def machine() -> str:
    """A short name of the machine as its process ids are counted: host,
    boot and pid namespace (two containers of one host count their pids apart)."""
    parts = [socket.gethostname()]
    try:
        with open("/proc/sys/kernel/random/boot_id", encoding="ascii") as f:
            parts.append(f.read().strip())
        parts.append(str(os.stat("/proc/self/ns/pid").st_ino))
    except OSError:  # not Linux: the host name alone
        pass
    return hashlib.blake2b("\0".join(parts).encode(), digest_size=5).hexdigest()


def is_gone(pid: int, on: str) -> bool:
    """Whether process ``pid`` of machine ``on`` has certainly ended."""
    if on != machine() or pid <= 0 or pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:  # another user's process: alive
        return False
    return False
