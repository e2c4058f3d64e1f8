"""Cancellation of the work a thread does for a pool: a token set for the
thread, passed to every transform it calls and checked between blocks of
work done in Python. Imports no native code: the token itself is native,
so it only exists once the extension is loaded."""

from __future__ import annotations

from collections.abc import Callable
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    from vexolin._native import Cancel

_Result = TypeVar("_Result")

# The token of the work this thread does for a pool (a batch's files): the
# transforms it calls stop when that pool is interrupted.
_token: ContextVar[Cancel | None] = ContextVar("vexolin_cancel", default=None)


def current() -> Cancel | None:
    """This thread's token: None on the main thread, where Ctrl-C reaches the call itself."""
    return _token.get()


def stop_if_cancelled() -> None:
    """Raise ``Cancelled`` when this thread's calls have been cancelled: work
    in Python between native calls (a file read in blocks) stops there."""
    token = _token.get()
    if token is not None and token.cancelled:
        from vexolin import _native

        raise _native.Cancelled("cancelled")


def with_token(token: Cancel, fn: Callable[..., _Result], *args: Any) -> _Result:
    """``fn(*args)`` with ``token`` passed to every transform it calls on this thread."""
    reset = _token.set(token)
    try:
        return fn(*args)
    finally:
        _token.reset(reset)
