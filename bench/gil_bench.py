"""How freely other Python threads run while a call is inside the engine.

A counter thread spins while one long call runs on the main thread, then
while the main thread merely sleeps for as long. The ratio of its progress
(1.0 means the call costs the other threads nothing) is printed, not
asserted: on a shared machine it moves with the load.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable

import numpy as np

from vexolin import _native


def main() -> None:
    y = np.random.default_rng(5).standard_normal(22050 * 20).astype(np.float32)
    count = [0]
    stop = threading.Event()

    def counter() -> None:
        while not stop.is_set():
            count[0] += 1

    def progress_during(action: Callable[[], object]) -> tuple[int, float]:
        before = count[0]
        started = time.perf_counter()
        action()
        return count[0] - before, time.perf_counter() - started

    # fmin 0 stood for C1 in the module's own call.
    transform = _native.Transform(hop=32, fmin=32.70319566257483, n_bins=480, bins_per_octave=60)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    worker = threading.Thread(target=counter)
    worker.start()
    try:
        during_call, elapsed = progress_during(lambda: _native.compute(transform, y, 22050.0, 1))
        during_sleep, slept = progress_during(lambda: time.sleep(elapsed))
    finally:
        stop.set()
        worker.join()
        sys.setswitchinterval(old_interval)
    ratio = (during_call / elapsed) / (during_sleep / slept)
    print(f"another Python thread during a {elapsed:.2f} s call on one engine thread: "
          f"{ratio:.2f} of its free rate")


if __name__ == "__main__":
    main()
