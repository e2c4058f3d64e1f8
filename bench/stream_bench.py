"""Streams against the whole-signal call, and the command line on long files.

- Streaming a 3-minute 22.05 kHz signal in blocks of 4096 and of 512 samples
  against the package function on the whole signal, one thread, all three
  features (targets: at most 1.15x and 2x). The calls take turns within each
  repeat; ratios are medians of the per-repeat ratios.
- latency_samples against the samples actually pushed when the first frames
  came out, for the defaults, in groups of 16 frames and one at a time.
- The cost of one 512-sample chroma push (target: under 1% of the block's
  23.2 ms), and what a push costs beyond the frames it computes.
- Peak RSS of `vexolin chroma` (its default --tuning auto: a first pass for
  the estimate, then the stream) on 2-hour and 4-hour 22.05 kHz mono WAV files
  (targets: under 200 MiB; the 4-hour run at most 10% above the 2-hour one),
  and of `vexolin cqt` on the 2-hour file (under 200 MiB plus its output). The
  files are written in a temporary directory and deleted.

Usage: stream_bench.py [--repeats N] [--skip-memory]
"""

import argparse
import functools
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile

import vexolin

SR = 22050
# Streams at a given tuning, which start at once: chroma at A440 is its equal.
FUNCTIONS = {"cqt": vexolin.cqt, "cqt_magnitude": vexolin.cqt_magnitude,
             "chroma_cqt": functools.partial(vexolin.chroma_cqt, tuning=0.0)}
FIXED_TUNING = {"tuning": 0.0}
MIB = 1024 * 1024


def streamed(feature, y, block, low_latency=False):
    stream = vexolin.Stream(feature, sr=SR, low_latency=low_latency, **FIXED_TUNING)
    out = [stream.push(y[i:i + block]) for i in range(0, len(y), block)]
    out.append(stream.finish())
    return out


def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def speed(repeats):
    y = np.random.default_rng(0).uniform(-0.5, 0.5, 180 * SR).astype(np.float32)
    print("streaming a 3-minute signal against the whole-signal call, one thread "
          f"(median of {repeats} repeats; target 1.15x for 4096, 2x for 512)")
    print(f"{'feature':<14} {'whole':>9} {'4096':>9} {'ratio':>6} {'512':>9} {'ratio':>6} {'equal':>6}")
    for feature, function in FUNCTIONS.items():
        whole = function(y, sr=SR, workers=1)
        equal = all(np.array_equal(np.concatenate(streamed(feature, y, b), axis=-1), whole) for b in (4096, 512))
        times = {"whole": [], 4096: [], 512: []}
        for _ in range(repeats):
            times["whole"].append(timed(lambda: function(y, sr=SR, workers=1)))
            for b in (4096, 512):
                times[b].append(timed(lambda: streamed(feature, y, b)))
        w = np.array(times["whole"])
        r4, r5 = (np.median(np.array(times[b]) / w) for b in (4096, 512))
        print(f"{feature:<14} {np.median(w) * 1e3:7.1f}ms {np.median(times[4096]) * 1e3:7.1f}ms {r4:5.2f}x "
              f"{np.median(times[512]) * 1e3:7.1f}ms {r5:5.2f}x {str(equal):>6}")
        if feature == "chroma_cqt":
            n_blocks = -(-len(y) // 512) + 1
            per_push = np.median(times[512]) / n_blocks
            beyond = (np.median(times[512]) - np.median(w)) / n_blocks
            print(f"  one 512-sample chroma push: {per_push * 1e6:.1f} us on average, "
                  f"{per_push / (512 / SR) * 100:.2f}% of the block's {512 / SR * 1e3:.1f} ms "
                  f"(target < 1%); {beyond * 1e6:.1f} us beyond the whole call's cost per block")
            stream = vexolin.Stream("chroma_cqt", sr=SR, **FIXED_TUNING)
            empty = np.zeros(0, np.float32)
            n = 20000
            print(f"  an empty push: {timed(lambda: [stream.push(empty) for _ in range(n)]) / n * 1e6:.1f} us")


def latency():
    print("latency_samples against the first frames' actual emission, for the defaults")
    for feature in ("cqt", "chroma_cqt"):
        for low_latency in (False, True):
            stream = vexolin.Stream(feature, sr=SR, low_latency=low_latency, **FIXED_TUNING)
            y = np.random.default_rng(1).uniform(-0.5, 0.5, stream.latency_samples + 1024).astype(np.float32)
            # The first frames come out with the sample that completes them: find it in steps of 32.
            pushed, step = 0, 32
            while True:
                frames = stream.push(y[pushed:pushed + step])
                pushed += step
                if frames.shape[-1]:
                    break
            print(f"  {feature:<11} {'one at a time' if low_latency else 'groups of 16':<14} "
                  f"latency_samples {stream.latency_samples} ({stream.latency:.3f} s); first "
                  f"{frames.shape[-1]} frame(s) out after {pushed - step + 1}..{pushed} samples: "
                  f"{'matches' if pushed - step < stream.latency_samples <= pushed else 'DIFFERS'}")
            exact = vexolin.Stream(feature, sr=SR, low_latency=low_latency, **FIXED_TUNING)
            before = exact.push(y[:stream.latency_samples - 1]).shape[-1]
            after = exact.push(y[stream.latency_samples - 1:stream.latency_samples]).shape[-1]
            print(f"    pushing latency_samples - 1 gives {before} frames, one more sample {after}")


def write_wav(path, seconds):
    rng = np.random.default_rng(2)
    t = np.arange(SR * 60) / SR
    minute = (0.3 * np.sin(2 * np.pi * 220.0 * t) + rng.uniform(-0.2, 0.2, len(t))).astype(np.float32)
    with soundfile.SoundFile(path, "w", SR, 1, subtype="PCM_16") as f:
        for _ in range(int(seconds // 60)):
            f.write(minute)


# Runs the command line in a fresh interpreter and reports its peak RSS
# (VmHWM) as it ends. A child's ru_maxrss from wait4 would not do: Linux
# carries the forking parent's peak into it.
_LAUNCHER = """
import sys
from vexolin.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    peak = next(line for line in f if line.startswith("VmHWM:"))
print(peak.split()[1], file=sys.stderr)
sys.exit(status)
"""


def peak_rss(command):
    start = time.perf_counter()
    run = subprocess.run([sys.executable, "-c", _LAUNCHER, *command], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=False)
    if run.returncode != 0:
        raise RuntimeError(f"vexolin {' '.join(command)} failed: {run.stderr}")
    return int(run.stderr.split()[-1]) / 1024, time.perf_counter() - start


def memory():
    print("peak RSS of the command line on long 22.05 kHz mono 16-bit WAV files")
    with tempfile.TemporaryDirectory() as folder:
        two, four = os.path.join(folder, "2h.wav"), os.path.join(folder, "4h.wav")
        write_wav(two, 2 * 3600)
        write_wav(four, 4 * 3600)
        out = os.path.join(folder, "out.npy")
        def shape():
            return np.load(out, mmap_mode="r").shape

        chroma2, s2 = peak_rss(["chroma", two, "-o", out, "-q"])
        print(f"  vexolin chroma, 2 h: {chroma2:.0f} MiB ({s2:.1f} s, output {shape()}; target < 200 MiB)")
        chroma4, s4 = peak_rss(["chroma", four, "-o", out, "-q"])
        print(f"  vexolin chroma, 4 h: {chroma4:.0f} MiB ({s4:.1f} s, output {shape()}); {chroma4 / chroma2:.3f} "
              "of the 2-hour peak (target <= 1.10)")
        cqt2, s3 = peak_rss(["cqt", two, "-o", out, "-q"])
        size = os.path.getsize(out) / MIB
        print(f"  vexolin cqt, 2 h: {cqt2:.0f} MiB ({s3:.1f} s, output {shape()}, {size:.0f} MiB) "
              f"(target < 200 MiB + output = {200 + size:.0f} MiB)")
        small = os.path.join(folder, "1min.wav")
        write_wav(small, 60)
        bare, _ = peak_rss(["chroma", small, "-o", out, "-q"])
        print(f"  for scale: `vexolin chroma` on a 1-minute file peaks at {bare:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    print(f"load average at the start: {os.getloadavg()[0]:.1f}")
    speed(args.repeats)
    latency()
    if not args.skip_memory:
        memory()
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
