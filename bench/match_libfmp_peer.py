"""Runs in bench/.libfmp-venv only: libfmp's diagonal matching over the
features bench/match_bench.py saved (query and database, 12 x frames, at
the matching rate), every shift by rolling the query, the tempi given.
Prints JSON: the time, and the best match's frame, shift and cost."""

import json
import sys
import time

import numpy as np
import libfmp.c7

data = np.load(sys.argv[1])
x, y, tempi, shifts = data["query"], data["database"], data["tempi"], data["shifts"]
start = time.perf_counter()
best = (np.inf, -1, 0)
for shift in shifts:
    delta, _, _ = libfmp.c7.matching_function_diag_multiple(np.roll(x, int(shift), axis=0), y,
                                                              tempo_rel_set=tempi)
    at = int(np.argmin(delta))
    if delta[at] < best[0]:
        best = (float(delta[at]), at, int(shift))
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "cost": best[0], "frame": best[1], "shift": best[2]}))
