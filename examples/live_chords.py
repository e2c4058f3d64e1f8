"""Chords from a live stream: a file fed through ``vexolin.ChordStream`` in
blocks of 512 samples at the pace it would arrive from a sound card. A line
is printed at every chord change (``N`` in silence and rests), saying when the
chord started, when it was decided, how far behind the input that is, and
at the end what each block cost.

Usage: live_chords.py [FILE] [--fast] [--lag SECONDS]
  FILE    an audio file (default: a built-in progression of C, G, Am, F with a rest)
  --fast  do not wait between blocks (a quick, non-real-time run)
  --lag   seconds of music after a frame before its chord is decided (default 1.0)
"""

import argparse
import sys
import time

import numpy as np

import vexolin

BLOCK = 512


def progression():
    """Two seconds each of C, G, Am and F (vexolin.example_audio), then a second of silence, twice."""
    bars, sr = vexolin.example_audio()
    return sr, np.concatenate([bars, np.zeros(sr, dtype=bars.dtype)] * 2)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--fast", action="store_true")
    parser.add_argument("--lag", type=float, default=1.0)
    args = parser.parse_args(argv)
    if args.file:
        y, sr = vexolin.load(args.file)
    else:
        sr, y = progression()
    # The tuning is estimated from the first seconds heard, held until then.
    stream = vexolin.ChordStream(sr=sr, lag=args.lag)
    print(f"{len(y) / sr:.1f} s at {sr} Hz in blocks of {BLOCK} ({BLOCK / sr * 1e3:.1f} ms); "
          f"the tuning comes from the first {stream.startup_samples / sr:.1f} s, then "
          f"a chord is decided {stream.latency_samples} samples ({stream.latency:.2f} s) after it is heard "
          f"(the transform's {stream.latency - stream.lag_frames * stream.hop_length / sr:.2f} s and a lag of "
          f"{stream.lag_frames} frames)")

    costs = []
    last, tuned = None, False
    started = time.perf_counter()
    for at in range(0, len(y) + BLOCK, BLOCK):
        block = y[at:at + BLOCK]
        if not args.fast:  # wait until the sound card would have delivered this block
            time.sleep(max(0.0, started + (at + len(block)) / sr - time.perf_counter()))
        t0 = time.perf_counter()
        chords = stream.push(block) if len(block) else stream.finish()
        costs.append(time.perf_counter() - t0)
        heard = (at + len(block)) / sr
        if stream.tuning is not None and not tuned:
            print(f"tuning {stream.tuning:+.2f} (estimated at {heard:.2f} s of input)")
            tuned = True
        for start, _, label in chords:
            if label != last:
                print(f"{start:7.2f} s  {label:<7} (decided at {heard:6.2f} s of input, {heard - start:.2f} s behind)")
                last = label
    costs_ms = np.array(costs) * 1e3
    print(f"per block: median {np.median(costs_ms):.3f} ms, 99th percentile {np.percentile(costs_ms, 99):.3f} ms, "
          f"largest {costs_ms.max():.3f} ms (a block lasts {BLOCK / sr * 1e3:.1f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
