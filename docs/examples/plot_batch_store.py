"""
A batch run over a folder, read back with zarr
==============================================

A folder of short cadences, one in each of eight keys, goes through
:func:`vexolin.batch.extract` into a Zarr store; the store is read back twice:
with :func:`vexolin.batch.open`, and as the plain Zarr v3 group it is, with
zarr alone. A second run skips every file.
"""

import os
import shutil
import subprocess
import tempfile

import matplotlib.pyplot as plt
import numpy as np
import soundfile
import zarr

import vexolin
from vexolin import batch

SR = 22050
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"


def cadence(tonic, mode):
    """I-IV-V-I (or i-iv-V-i) from MIDI note `tonic`, a chord a second."""
    third = 4 if mode == "major" else 3
    return [(tonic, tonic + third, tonic + 7), (tonic + 5, tonic + 5 + third, tonic + 12),
            (tonic + 7, tonic + 11, tonic + 14), (tonic, tonic + third, tonic + 7)]


def render(chords, path):
    """Writes the chords to `path`: sampled strings with fluidsynth, else harmonic tones."""
    if shutil.which("fluidsynth") and os.path.exists(SOUNDFONT):
        import mido

        track = mido.MidiTrack([mido.Message("program_change", program=48)])  # string ensemble
        for chord in chords:
            track += [mido.Message("note_on", note=n, velocity=90) for n in chord]
            track += [mido.Message("note_off", note=n, time=480 if i == 0 else 0) for i, n in enumerate(chord)]
        midi = path + ".mid"
        mido.MidiFile(tracks=[track], ticks_per_beat=240).save(midi)
        subprocess.run(["fluidsynth", "-ni", "-g", "0.6", "-r", str(SR), "-F", path, SOUNDFONT, midi],
                       check=True, capture_output=True)
        os.remove(midi)
        return
    t = np.arange(SR) / SR
    y = np.concatenate([sum(np.sin(2 * np.pi * k * 440 * 2 ** ((n - 69) / 12) * t) / k
                            for n in chord for k in range(1, 5)) * np.hanning(SR) for chord in chords])
    soundfile.write(path, 0.05 * y, SR)


folder = tempfile.mkdtemp(prefix="vexolin-gallery-")
keys = [(60, "major"), (67, "major"), (62, "major"), (65, "major"), (57, "minor"), (64, "minor"),
        (62, "minor"), (55, "minor")]
for tonic, mode in keys:
    name = f"{vexolin.chroma_notes()[tonic % 12]}-{mode}.wav".replace("#", "sharp")
    os.makedirs(os.path.join(folder, "music", mode), exist_ok=True)
    render(cadence(tonic, mode), os.path.join(folder, "music", mode, name))
print(sorted(os.listdir(os.path.join(folder, "music", "major"))))

# %%
# One call over the folder
# ------------------------
# Directories are searched recursively for audio files. The run uses a
# thread per CPU here; ``client=`` would send it to a Dask cluster instead,
# and the inputs and the store could be ``s3://`` URLs.

music, out = os.path.join(folder, "music"), os.path.join(folder, "features.zarr")
summary = batch.extract(music, out=out, progress=False)
print(f"computed {summary.computed}, skipped {summary.skipped}, failed {len(summary.failed)}, "
      f"{summary.audio_seconds:.0f} s of audio in {summary.elapsed:.2f} s")

# %%
# Reading it back with vexolin
# ----------------------------
# The store maps each source path to its array; ``info`` gives what the file
# was and how it was computed (the tuning used, estimated for each file).

store = batch.open(out)
first = sorted(store)[0]
print(os.path.relpath(first, folder), store[first].shape)
print({k: store.info(first)[k] for k in ("sr", "duration", "frames", "tuning")})
for row in store.table()[:3]:
    print(os.path.relpath(row["path"], folder), row["status"], row["frames"])

# %%
# Reading it with zarr alone
# --------------------------
# Each entry is a float32 array under ``entries/``, named by a digest of its
# path, with the source path and the parameters among its attributes.
# Anything that reads Zarr v3 reads it: here, the key of every file from its
# mean chroma.

group = zarr.open_group(out, mode="r")
params = group.attrs["vexolin-features"]["params"]
print({k: params[k] for k in ("feature", "hop_length", "bins_per_octave", "n_octaves")})
entries = group["entries"]
rows = []
for name in entries:
    array = entries[name]
    source = os.path.basename(array.attrs["source"])
    rows.append((source, array[:].mean(axis=1)))
rows.sort()
for source, mean in rows:
    print(f"{source:>14}: {vexolin.estimate_key(mean, profile='temperley').name}")

fig, ax = plt.subplots(figsize=(8, 3.8), layout="constrained")
image = np.array([mean / mean.max() for _, mean in rows])
ax.imshow(image, aspect="auto", cmap="magma")
ax.set_xticks(range(12), vexolin.chroma_notes())
ax.set_yticks(range(len(rows)), [source.removesuffix(".wav") for source, _ in rows])
ax.set_title("Mean chroma of each file, read from the store with zarr")

# %%
# Resuming
# --------
# A second run finds every entry done (same path, size and modification
# time, chunks whole) and skips it; a changed or damaged file would be redone.

again = batch.extract(music, out=out, progress=False)
print(f"computed {again.computed}, skipped {again.skipped}")
shutil.rmtree(folder)
plt.show()
