"""``python -m vexolin``: the command line."""

import sys

from vexolin.cli import main

if __name__ == "__main__":
    sys.exit(main())
