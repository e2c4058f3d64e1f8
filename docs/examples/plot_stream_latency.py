"""
Streaming chroma and its latency
================================

A :class:`vexolin.Stream` is fed a chord progression in blocks of 512
samples, as a sound card would deliver it. Each frame comes out once every
sample it reads is in; here we record, for every frame, how far behind the
input it arrived, for three streams: the defaults (frames in groups of 16),
``low_latency=True`` (each frame as soon as it is complete) and, on top of
that, a lowest note of C3 instead of C1 (shorter filters). The frames equal
:func:`vexolin.chroma_cqt` on the whole signal, bit for bit.
"""

import time

import matplotlib.pyplot as plt
import numpy as np

import vexolin
import vexolin.plot

SR = 22050
HOP = 512
BLOCK = 512

# C, G, Am, F, two seconds a chord, in harmonic tones.
chords = {"C": (48, 52, 55, 60), "G": (43, 50, 55, 59), "Am": (45, 52, 57, 60), "F": (41, 48, 53, 57)}
progression = ["C", "G", "Am", "F"]
t = np.arange(2 * SR) / SR
y = np.concatenate([
    sum(np.sin(2 * np.pi * k * 440 * 2 ** ((n - 69) / 12) * t) / k for n in chords[name] for k in range(1, 5))
    * np.minimum(1, 20 * t) * np.exp(-0.7 * t) for name in progression]).astype(np.float32) * 0.05


def run(stream):
    """Push the signal in blocks; the lag of each frame (s) behind the input when it came out, and the frames."""
    lags, frames, costs = [], [], []
    done = 0
    for start in range(0, len(y), BLOCK):
        block = y[start:start + BLOCK]
        began = time.perf_counter()
        out = stream.push(block)
        costs.append(time.perf_counter() - began)
        pushed = start + len(block)
        for f in range(done, done + out.shape[1]):
            lags.append(pushed / SR - f * HOP / SR)  # now, less the frame's centre
        done += out.shape[1]
        frames.append(out)
    frames.append(stream.finish())  # the rest, once the signal has ended
    return np.array(lags), np.concatenate(frames, axis=1), np.mean(costs)


setups = {
    "default (groups of 16)": {},
    "low_latency=True": {"low_latency": True},
    "low_latency, from C3, 6 octaves": {"low_latency": True, "fmin": 4 * vexolin.C1_HZ, "n_octaves": 6},
}
results = {}
for label, params in setups.items():
    stream = vexolin.Stream("chroma_cqt", sr=SR, hop_length=HOP, tuning=0.0, **params)
    lags, frames, cost = run(stream)
    whole = vexolin.chroma_cqt(y, sr=SR, hop_length=HOP, tuning=0.0, **{k: v for k, v in params.items()
                                                                         if k != "low_latency"})
    assert np.array_equal(frames, whole)  # bit for bit
    results[label] = (lags, frames)
    print(f"{label}: latency_samples {stream.latency_samples} ({stream.latency:.3f} s), "
          f"frames {lags.min():.3f} to {lags.max():.3f} s behind, {1e6 * cost:.0f} us a block on average")

# %%
# How far behind each frame came out
# ----------------------------------
# In groups of 16 the lag saws between the stream's ``latency`` and that
# less 15 hops; one at a time it is flat at ``latency``. Raising the lowest
# note by two octaves roughly quarters the filters the latency waits for.

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
for label, (lags, _) in results.items():
    ax.plot(np.arange(len(lags)) * HOP / SR, lags, label=label)
ax.set_xlabel("Frame centre (s)")
ax.set_ylabel("Behind the input (s)")
ax.set_ylim(0, None)
ax.legend(loc="center right", fontsize=8)

# %%
# Chords as they come out
# -----------------------
# The streamed frames, matched against major and minor triad templates, give
# a chord for every frame the moment it is out.

names = vexolin.chroma_notes()
templates = {}
for root in range(12):
    for suffix, third in (("", 4), ("m", 3)):
        template = np.zeros(12)
        template[[root, (root + third) % 12, (root + 7) % 12]] = 1
        templates[names[root] + suffix] = template / np.linalg.norm(template)
labels = list(templates)
T = np.array([templates[k] for k in labels])
_, frames = results["default (groups of 16)"]
heard = [labels[i] for i in (T @ (frames / np.maximum(np.linalg.norm(frames, axis=0), 1e-9))).argmax(axis=0)]
per_chord = len(heard) // len(progression)
print([max(set(part), key=part.count) for part in (heard[i * per_chord:(i + 1) * per_chord]
                                                   for i in range(len(progression)))])

fig, ax = plt.subplots(figsize=(8, 3), layout="constrained")
vexolin.plot.chromagram(frames, sr=SR, hop_length=HOP, ax=ax)
for i, name in enumerate(progression):
    ax.text(2 * i + 1, 12.2, name, ha="center", va="bottom")
ax.set_ylim(-0.5, 13.2)
ax.set_title("Streamed chroma")
plt.show()
