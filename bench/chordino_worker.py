"""Runs the NNLS-chroma HMM chord estimator (PyPI's chord-extractor, default
settings) on WAV files and prints their chord changes as JSON: for each
path, a list of [label, start seconds]. Runs inside bench/.chordino-venv,
started by bench/chords_bench.py.

Usage: chordino_worker.py WAV...
"""

import json
import sys

from chord_extractor.extractors import Chordino


def main() -> int:
    extractor = Chordino()
    out = {path: [[change.chord, float(change.timestamp)] for change in extractor.extract(path)]
           for path in sys.argv[1:]}
    json.dump(out, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
