# Shared set-up of scripts/demo and scripts/test: a virtual environment per
# interpreter with the package built and installed in it.
#   PYTHON   interpreter to use (default: python3)
#   VENV     environment folder (default: .venv-<python version>)
#   EXTRAS   extras to install (default: fast)
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
"$PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.8" cmake ninja >/dev/null
# No build isolation: the build tools above are already in the environment,
# which keeps repeated builds fast.
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation ".[${EXTRAS}]"
