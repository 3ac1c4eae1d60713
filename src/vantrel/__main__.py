"""``python -m vantrel``: the command line (see :mod:`vantrel.cli`)."""

import sys

from vantrel.cli import main

if __name__ == "__main__":
    sys.exit(main())
