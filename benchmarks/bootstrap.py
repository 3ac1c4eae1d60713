"""Start-up of the benchmark programs: the package, installed or from the tree.

Every program here imports this module first (the programs' folder is on
``sys.path`` already, as the folder of the script being run).  An installed
``vantrel`` is used as it is; otherwise the source tree's ``src`` folder, into
which ``scripts/dev-build`` puts the compiled modules.
"""

import os
import sys
from typing import Dict

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import vantrel  # noqa: F401
except ImportError:
    sys.path.insert(1, os.path.join(os.path.dirname(HERE), "src"))


def child_env() -> Dict[str, str]:
    """The environment of a child process that imports the same vantrel package
    as this one (its folder first on PYTHONPATH)."""
    import vantrel

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vantrel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [package_root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env
