"""A run's progress: files done, hours of audio and speed on a terminal bar."""

from __future__ import annotations

import sys
import time

from tqdm import tqdm

from vexolin.batch.store import FileRecord


def on_terminal() -> bool:
    """Whether standard error is a terminal; False when there is none (closed, ``2>&-``)."""
    try:
        return bool(sys.stderr is not None and sys.stderr.isatty())
    except (AttributeError, ValueError, OSError):  # replaced by an object without one, or closed
        return False


class Progress:
    """Files done, hours of audio and speed on a terminal bar; quiet
    elsewhere. ``show`` None: shown when standard error is a terminal;
    never without a standard error, where the work goes on unseen."""

    def __init__(self, total: int, show: bool | None) -> None:
        shown = on_terminal() if show is None else show and sys.stderr is not None
        self._bar = tqdm(total=total, unit="file", file=sys.stderr, disable=not shown, dynamic_ncols=True)
        self._audio = 0.0
        self._started = time.perf_counter()

    def __call__(self, record: FileRecord) -> None:
        self._audio += record.get("seconds") or 0.0
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._bar.set_postfix_str(f"{self._audio / 3600:.2f} h of audio, {self._audio / elapsed:.0f}x real time",
                                  refresh=False)
        self._bar.update(1)

    def note(self, text: str) -> None:
        if sys.stderr is not None:
            self._bar.write(text, file=sys.stderr)

    def close(self) -> None:
        self._bar.close()
