"""Time `_vexolin` against the float64 NumPy reference on the same inputs.

For each signal length and each function, the module's first call (which
builds the kernel bases and FFT setups it caches for the process) is timed on
its own; the steady-state time is the best of several further calls. The
reference keeps no caches, so its time is simply the best of a few calls.
The largest deviation between the two outputs is printed as a sanity check.

Usage: python bench/bench.py [--durations 30 120] [--repeats 5]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import reference  # noqa: E402

try:
    import _vexolin  # noqa: E402
except ImportError as exc:
    sys.exit(
        f"bench: cannot import the extension module _vexolin ({exc}).\n"
        "Build it first (`make build`, which also puts the build directory on the "
        "virtual environment's path) and run this script with .venv/bin/python."
    )

SR = 22050.0
HOP = 512
FMIN = 32.70319566257483


def synthetic_signal(seconds: float, sr: float = SR, seed: int = 0) -> np.ndarray:
    """A few sustained partials with slow vibrato plus noise, as float32."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * sr)) / sr
    y = 0.05 * rng.standard_normal(t.size)
    for f0, amp in [(110.0, 0.5), (261.63, 0.3), (440.0, 0.25), (1318.5, 0.1), (3520.0, 0.05)]:
        vibrato = 0.003 * f0 / 5.0 * np.sin(2 * np.pi * 5.0 * t)
        y += amp * np.sin(2 * np.pi * f0 * t + vibrato)
    return y.astype(np.float32)


def timed(fn, repeats: int):
    """(best seconds over `repeats` calls, last result)."""
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def cases(y32: np.ndarray):
    y64 = y32.astype(np.float64)
    yield (
        "cqt_magnitude 84 bins/12",
        lambda: _vexolin.cqt_magnitude(y32, SR, HOP, FMIN, 84, 12),
        lambda: reference.cqt_magnitude(y64, SR, HOP, FMIN, 84, 12),
    )
    yield (
        "chroma_cqt 7 oct x 36",
        lambda: _vexolin.chroma_cqt(y32, SR, HOP, 36, 7, 12, FMIN),
        lambda: reference.chroma_cqt(y64, SR, HOP, 36, 7, 12, FMIN),
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--durations", type=float, nargs="+", default=[30.0, 120.0],
                        help="signal lengths in seconds (default: 30 120)")
    parser.add_argument("--repeats", type=int, default=5,
                        help="timed calls of the module after its first call (default: 5)")
    parser.add_argument("--reference-repeats", type=int, default=3,
                        help="timed calls of the reference (default: 3)")
    args = parser.parse_args()

    print(f"sr {SR:g} Hz, hop {HOP}, fmin {FMIN:.4f} Hz; "
          f"VEXOLIN_THREADS={os.environ.get('VEXOLIN_THREADS', '(unset)')}, "
          f"cpus {os.cpu_count()}")
    header = (f"{'case':<26}{'signal':>8}{'frames':>8}{'first call':>12}{'module':>10}"
              f"{'reference':>11}{'speed-up':>10}{'max |diff|':>12}{'rel':>10}")
    print(header)
    print("-" * len(header))
    for seconds in args.durations:
        y32 = synthetic_signal(seconds)
        for name, module_fn, reference_fn in cases(y32):
            start = time.perf_counter()
            module_fn()
            first = time.perf_counter() - start
            module_best, got = timed(module_fn, args.repeats)
            reference_best, want = timed(reference_fn, args.reference_repeats)

            if got.shape != want.shape:
                print(f"{name:<26}{seconds:>7g}s  shape mismatch: module {got.shape}, "
                      f"reference {want.shape}")
                continue
            diff = float(np.max(np.abs(got.astype(np.float64) - want))) if want.size else 0.0
            scale = float(np.max(np.abs(want))) if want.size else 0.0
            rel = diff / scale if scale > 0 else 0.0
            print(f"{name:<26}{seconds:>7g}s{want.shape[1]:>8}{first:>11.4f}s{module_best:>9.4f}s"
                  f"{reference_best:>10.4f}s{reference_best / module_best:>9.1f}x"
                  f"{diff:>12.3e}{rel:>10.2e}")
    print("first call: the module's first call on that signal; its caches are keyed by "
          "parameters, so only the first signal's row is a cold start; "
          "module/reference: best of repeats; speed-up = reference / module; "
          "rel = max |diff| / max |reference|")
    return 0


if __name__ == "__main__":
    sys.exit(main())
