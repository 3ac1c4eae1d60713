"""Start-up of the benchmark programs: the package, installed or from the tree.

Every program here imports this module first (the programs' folder is on
``sys.path`` already, as the folder of the script being run).  An installed
``vantrel`` is used as it is; otherwise the source tree's ``src`` folder, into
which ``scripts/dev-build`` puts the compiled modules.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import vantrel  # noqa: F401
except ImportError:
    sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))
