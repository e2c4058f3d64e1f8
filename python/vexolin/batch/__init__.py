"""Features of whole collections of audio files, stored in one Zarr store.

:func:`extract` computes chroma or CQT magnitudes for every file: on a thread
pool in this process by default, or as one Dask task per file on a cluster
(``client=``). Each file's feature lands in the store with its parameters,
rate, duration and source path, and ``files.csv`` in the store lists every
input with its status. A second run skips files already done; an interrupted
run never leaves an entry that reads as complete. :func:`open` reads a store
back by path.

Examples
--------
>>> import os, tempfile
>>> import numpy as np, soundfile
>>> from vexolin import batch
>>> folder = tempfile.mkdtemp()
>>> for name, hz in [("a.wav", 440.0), ("c.wav", 261.63)]:
...     soundfile.write(os.path.join(folder, name), np.sin(2 * np.pi * hz * np.arange(22050) / 22050), 22050)
>>> summary = batch.extract(folder, out=os.path.join(folder, "features.zarr"))
>>> summary.computed, summary.failed
(2, {})
>>> store = batch.open(os.path.join(folder, "features.zarr"))
>>> chroma = store[os.path.join(folder, "a.wav")]
>>> chroma.shape, int(chroma.mean(axis=1).argmax())  # A is pitch class 9
((12, 44), 9)
>>> batch.extract(folder, out=os.path.join(folder, "features.zarr")).skipped
2
"""

from vexolin.batch._extract import Summary, extract
from vexolin.batch._reading import FeatureStore, open
from vexolin._signals import Terminated

__all__ = ["FeatureStore", "Summary", "Terminated", "extract", "open"]
