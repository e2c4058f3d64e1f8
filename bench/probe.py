"""One measurement of `_vexolin` in a fresh process, for the benchmark runner.

  probe.py first-call KIND SR SIGNAL.f32 [WARM_REPEATS]
      seconds of the import, of the first call and of later calls
  probe.py memory KIND SR SIGNAL.f32
      peak resident memory added by one (warm) call, against the input and
      output sizes

KIND is cqt or chroma with the benchmark's bin layout, or hcqt in the
deep-salience layout (harmonics 0.5 to 5, 6 octaves of 60 bins from C1, hop
256). Prints one JSON line.
"""

from __future__ import annotations

import gc
import json
import sys
import time

import numpy as np

HOP = 512
FMIN = 32.70319566257483


def call_for(vexolin, kind, sr):
    if kind == "cqt":
        return lambda y: vexolin.cqt_magnitude(y, sr, HOP, FMIN, 84, 12)
    if kind == "hcqt":  # the deep-salience layout, through the package's native module
        from vexolin import _native

        transform = _native.Transform(hop=256, fmin=FMIN, n_bins=360, bins_per_octave=60,
                                      harmonics=(0.5, 1, 2, 3, 4, 5))
        return lambda y: _native.compute(transform, y, sr, _native.default_threads())
    return lambda y: vexolin.chroma_cqt(y, sr, HOP, 36, 7, 12, FMIN)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak():
    """Resets VmHWM to the current RSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def first_call(kind, sr, path, warm_repeats):
    y = np.fromfile(path, dtype=np.float32)
    start = time.perf_counter()
    import _vexolin
    imported = time.perf_counter() - start
    call = call_for(_vexolin, kind, sr)
    times = []
    for _ in range(1 + warm_repeats):
        start = time.perf_counter()
        call(y)
        times.append(time.perf_counter() - start)
    return {"import": imported, "first": times[0], "warm": times[1:]}


def memory(kind, sr, path):
    import _vexolin
    call = call_for(_vexolin, kind, sr)
    y = np.fromfile(path, dtype=np.float32)
    call(y[: int(sr)])  # bases, FFT setups and threads exist before the measured call
    gc.collect()
    exact = reset_peak()
    before_rss = status_kib("VmRSS")
    before_hwm = status_kib("VmHWM")
    out = call(y)
    peak = status_kib("VmHWM")
    return {"input_bytes": y.nbytes, "output_bytes": out.nbytes, "shape": list(out.shape),
            "peak_increase_bytes": 1024 * (peak - before_rss), "rss_before_bytes": 1024 * before_rss,
            "exact": exact and before_hwm == before_rss}


def main() -> int:
    mode, kind, sr, path = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
    if mode == "first-call":
        result = first_call(kind, sr, path, int(sys.argv[5]) if len(sys.argv) > 5 else 5)
    elif mode == "memory":
        result = memory(kind, sr, path)
    else:
        raise SystemExit(f"unknown mode {mode}")
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
