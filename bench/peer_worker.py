"""Times the peer library (librosa) on the benchmark's inputs.

Runs only with the peer environment's interpreter (bench/.peer-venv), never
with the project's. It reads one JSON task per line from stdin (a raw float32
signal file and the call's parameters) and answers each with one JSON line on
stdout holding the wall-clock seconds of every timed call (warm-up calls
excluded). Kept running for the whole benchmark, so that each case's peer
timing is taken right beside ours, under the same load.
"""

from __future__ import annotations

import json
import sys
import time
import warnings

import librosa
import numpy as np


def cqt_call(y, t):
    return np.abs(librosa.cqt(y, sr=t["sr"], hop_length=t["hop"], fmin=t["fmin"],
                              n_bins=t["n_bins"], bins_per_octave=t["bins_per_octave"]))


def chroma_call(y, t):
    # tuning=None is the peer's default: it estimates the tuning first.
    tuning = None if t.get("estimate_tuning") else 0.0
    return librosa.feature.chroma_cqt(y=y, sr=t["sr"], hop_length=t["hop"], fmin=t["fmin"], tuning=tuning,
                                      n_chroma=t["n_chroma"], bins_per_octave=t["bins_per_octave"],
                                      n_octaves=t["n_octaves"])


def harmonics_call(y, t):
    # One call per harmonic: how the peer's users build a harmonic CQT.
    return np.stack([np.abs(librosa.cqt(y, sr=t["sr"], hop_length=t["hop"], fmin=h * t["fmin"],
                                        n_bins=t["n_bins"], bins_per_octave=t["bins_per_octave"]))
                     for h in t["harmonics"]])


def vqt_call(y, t):
    # gamma=None is the peer's ERB default.
    return np.abs(librosa.vqt(y, sr=t["sr"], hop_length=t["hop"], fmin=t["fmin"], n_bins=t["n_bins"],
                              bins_per_octave=t["bins_per_octave"], gamma=None))


CALLS = {"cqt": cqt_call, "chroma": chroma_call, "harmonics": harmonics_call, "vqt": vqt_call}

_loaded = {}


def load(path):
    """The signal in `path`; the last one read is kept, as tasks come one call at a time."""
    if path not in _loaded:
        _loaded.clear()
        _loaded[path] = np.fromfile(path, dtype=np.float32)
    return _loaded[path]


def run_signal(t):
    y = load(t["input"])
    call = CALLS[t["kind"]]
    times, shape = [], None
    for i in range(t["warmup"] + t["repeats"]):
        start = time.perf_counter()
        out = call(y, t)
        elapsed = time.perf_counter() - start
        shape = list(out.shape)
        if i >= t["warmup"]:
            times.append(elapsed)
        if t.get("save"):  # the values, for an agreement check by the runner
            np.save(t["save"], out.astype(np.float32))
    return {"times": times, "shape": shape}


def run_clips(t):
    """Seconds per call, one value per pass over all clips."""
    clips = np.fromfile(t["input"], dtype=np.float32).reshape(-1, t["clip_len"])
    for y in clips[: t["warmup"]]:
        cqt_call(y, t)
    per_call = []
    for _ in range(t["repeats"]):
        start = time.perf_counter()
        for y in clips:
            cqt_call(y, t)
        per_call.append((time.perf_counter() - start) / len(clips))
    return {"times": per_call, "n_clips": int(clips.shape[0])}


def main() -> int:
    warnings.simplefilter("ignore")  # short clips draw filter-length warnings
    for line in sys.stdin:
        t = json.loads(line)
        if t["kind"] == "version":
            result = {}
        elif t["kind"] == "clips":
            result = run_clips(t)
        else:
            result = run_signal(t)
        result.update(id=t["id"], librosa=librosa.__version__)
        print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
