"""One batch run as a value: what every thread of the pool and every cluster
task is given, instead of a list of arguments."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from vexolin._features import FeatureRequest, Params
from vexolin.batch._inputs import Inputs
from vexolin.batch._params import stored
from vexolin.batch.store import Store

# Futures in flight at once, on threads or a cluster: enough to keep every
# thread busy, few enough that a million files do not become a million futures.
MIN_IN_FLIGHT = 64
IN_FLIGHT_PER_THREAD = 4
# A cluster task takes files until their audio reaches this many seconds:
# the scheduler's cost per task (a few ms) is then spread over many short files.
TASK_SECONDS = 300.0


@dataclass(frozen=True)
class Run:
    """A run: its store, what it computes, where its files are read from,
    and how it goes. Picklable, and sent whole to each cluster task."""

    store: Store
    #: The feature and its resolved parameters.
    request: FeatureRequest
    #: The rate files are read at (None: each file's own), and whether mixed down.
    sr: int | None = None
    mono: bool = True
    inputs: Inputs = field(default_factory=Inputs)
    #: Threads in this process, in all: the pool's and the transforms'.
    threads: int = 1
    #: Entries reach the disk before they are placed (a local store).
    fsync: bool = True
    #: Files that failed before and have not changed are tried again.
    retry_failed: bool = False
    #: Seconds of audio a cluster task gathers from consecutive files.
    task_seconds: float = TASK_SECONDS
    #: The run holding the store's lock, as the lock names it: a task writes
    #: only while the lock still does. None: not checked.
    owner: str | None = None
    #: Entries keep their feature's own shape; False in a store of format
    #: 1, whose entries are rows.
    shaped: bool = True

    @property
    def axes(self) -> list[str]:
        """Names of an entry's axes: a channel's first when channels are kept."""
        return [*([] if self.mono else ["channel"]), *self.request.feature.axes]

    def laid_out(self, values: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """A file's feature as its entry holds it."""
        return values if self.shaped else self.request.as_rows(values)

    @property
    def params(self) -> Params:
        """The parameters kept with the store and each entry."""
        return stored(self.request, self.sr, self.mono)
