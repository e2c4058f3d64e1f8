"""Ctrl-C at a chosen point of a call, deterministically: a profile function
counts the calls (Python and C) made inside the call and raises
``KeyboardInterrupt`` at the n-th, as a Ctrl-C landing there would."""

import sys


class CtrlC:
    """Within the ``with`` block, raise ``KeyboardInterrupt`` at the ``at``-th
    call counted (None: only count them, in ``count``). A call is counted
    when ``counts(frame, event, arg)`` says so, once ``starts`` has said so
    of one (default: every call); ``marks(arg)`` records the count of the
    C call it picks in ``marked``."""

    def __init__(self, at=None, counts=lambda frame, event, arg: True, starts=None, marks=None):
        self.at, self.counts, self.starts, self.marks = at, counts, starts, marks
        self.count, self.marked, self.fired = 0, None, False

    def __enter__(self):
        self._started = self.starts is None
        sys.setprofile(self._profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)
        return False

    def _profile(self, frame, event, arg):
        if event not in ("call", "c_call"):
            return
        if not self._started:
            self._started = self.starts(frame, event, arg)
            if not self._started:
                return
        if not self.counts(frame, event, arg):
            return
        self.count += 1
        if self.marks is not None and self.marked is None and event == "c_call" and self.marks(arg):
            self.marked = self.count
        if self.count == self.at:
            self.fired = True
            sys.setprofile(None)
            raise KeyboardInterrupt


def in_file(*names):
    """Counts the calls made by code in files ending with one of ``names``
    (a Python function's own frame, or the caller of a C function)."""
    return lambda frame, event, arg: frame.f_code.co_filename.endswith(names)
