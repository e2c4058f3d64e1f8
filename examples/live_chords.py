"""Chord names from a live stream: a file fed through ``vexolin.Stream`` in
blocks of 512 samples at the pace it would arrive from a sound card, with the
current chord (major and minor triad templates matched against chroma) of
every frame as it comes out, how far behind the input it is, and what each
block costs.

Usage: live_chords.py [FILE] [--fast]
  FILE    an audio file (default: a built-in progression of C, G, Am, F)
  --fast  do not wait between blocks (a quick, non-real-time run)
"""

import argparse
import os
import sys
import time

import numpy as np

import vexolin

BLOCK = 512
HOP = 512
NAMES = vexolin.chroma_notes()


def templates():
    """Unit-length templates of the 24 major and minor triads, and their names."""
    rows, names = [], []
    for root in range(12):
        for quality, third in (("", 4), ("m", 3)):
            t = np.zeros(12)
            t[[root, (root + third) % 12, (root + 7) % 12]] = 1.0
            rows.append(t / np.linalg.norm(t))
            names.append(NAMES[root] + quality)
    return np.array(rows), names


def progression(sr):
    """Two seconds each of C, G, Am and F, tones with five harmonics."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
    import demo

    assert sr == demo.SR
    return demo.synthesise()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--fast", action="store_true")
    args = parser.parse_args(argv)
    if args.file:
        y, sr = vexolin.load(args.file)
    else:
        sr = 22050
        y = progression(sr)
    chords, chord_names = templates()
    stream = vexolin.Stream("chroma_cqt", sr=sr, hop_length=HOP, low_latency=True)
    print(f"{len(y) / sr:.1f} s at {sr} Hz in blocks of {BLOCK} ({BLOCK / sr * 1e3:.1f} ms); "
          f"a frame comes out {stream.latency_samples} samples ({stream.latency:.2f} s) after its centre")

    costs = []
    last = None
    started = time.perf_counter()
    frame = 0
    for at in range(0, len(y) + BLOCK, BLOCK):
        block = y[at:at + BLOCK]
        if not args.fast:  # wait until the sound card would have delivered this block
            time.sleep(max(0.0, started + (at + len(block)) / sr - time.perf_counter()))
        t0 = time.perf_counter()
        chroma = stream.push(block) if len(block) else stream.finish()
        costs.append(time.perf_counter() - t0)
        for column in chroma.T:
            name = chord_names[int(np.argmax(chords @ column))] if column.max() > 0 else "-"
            if name != last:
                heard = (at + len(block)) / sr
                print(f"{frame * HOP / sr:7.2f} s  {name:<3}  (shown at {heard:6.2f} s of input, "
                      f"{heard - frame * HOP / sr:.2f} s behind)")
                last = name
            frame += 1
    costs_ms = np.array(costs) * 1e3
    print(f"{frame} frames; per block: median {np.median(costs_ms):.3f} ms, 99th percentile "
          f"{np.percentile(costs_ms, 99):.3f} ms, largest {costs_ms.max():.3f} ms "
          f"(a block lasts {BLOCK / sr * 1e3:.1f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
