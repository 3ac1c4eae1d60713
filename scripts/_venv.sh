# Shared set-up of the scripts: a virtual environment per interpreter with
# the build tools and the package built and installed in it.
#   PYTHON      interpreter to use (default: python3)
#   VENV        environment folder (default: .venv-<python version>)
#   EXTRAS      extras to install (default: fast)
#   TOOLS       more packages for the environment (default: none)
#   NO_PACKAGE  1: the environment and the tools only, the package not built
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
ver=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV=${VENV:-.venv-$ver}
case $VENV in /*) ;; *) VENV=$PWD/$VENV ;; esac
EXTRAS=${EXTRAS:-fast}
if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
# TOOLS unquoted: a list of requirements, one word each
"$PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.8" cmake ninja ${TOOLS:-} >/dev/null
if [ "${NO_PACKAGE:-0}" != 1 ]; then
    # No build isolation: the build tools above are already in the environment,
    # which keeps repeated builds fast.
    "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation ".[${EXTRAS}]"
fi
