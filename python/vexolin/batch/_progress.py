"""A run's progress: files done, hours of audio and speed on a terminal bar."""

from __future__ import annotations

import sys
import time

from tqdm import tqdm

from vexolin.batch.store import FileRecord


class Progress:
    """Files done, hours of audio and speed on a terminal bar; quiet elsewhere."""

    def __init__(self, total: int, show: bool) -> None:
        self._bar = tqdm(total=total, unit="file", file=sys.stderr, disable=not show, dynamic_ncols=True)
        self._audio = 0.0
        self._started = time.perf_counter()

    def __call__(self, record: FileRecord) -> None:
        self._audio += record.get("seconds") or 0.0
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._bar.set_postfix_str(f"{self._audio / 3600:.2f} h of audio, {self._audio / elapsed:.0f}x real time",
                                  refresh=False)
        self._bar.update(1)

    def note(self, text: str) -> None:
        self._bar.write(text, file=sys.stderr)

    def close(self) -> None:
        self._bar.close()
