# Shared set-up of the scripts: a virtual environment per interpreter with
# the build tools and the package built and installed in it.  The package is
# built again only when a file of csrc/ or src/, CMakeLists.txt, pyproject.toml
# or a build setting changed since the build installed there; what happens is
# said on stderr.
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
say() { echo "$*" >&2; }
if [ ! -x "$VENV/bin/python" ]; then
    say "making the environment ${VENV#"$PWD"/} (Python $ver) ..."
    "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
# The tools are installed once per environment (and again when TOOLS changes).
tools_stamp="$VENV/.vantrel-tools"
tools="scikit-build-core>=0.8 cmake ninja ${TOOLS:-}"
if [ "$(cat "$tools_stamp" 2>/dev/null)" != "$tools" ]; then
    say "installing the build tools into ${VENV#"$PWD"/} ..."
    "$PY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
    # $tools unquoted: a list of requirements, one word each
    "$PY" -m pip install -q --disable-pip-version-check $tools >/dev/null
    echo "$tools" > "$tools_stamp"
fi
if [ "${NO_PACKAGE:-0}" != 1 ]; then
    # The package is built again only when a source or a build setting changed
    # since the build installed here: the stamp holds their hash and the
    # extras installed with it.
    stamp="$VENV/.vantrel-build"
    sources=$(
        {
            printf '%s\n' "$PY" "${VANTREL_WERROR:-}" "${VANTREL_SANITIZE:-}" \
                "${VANTREL_STATIC_RUNTIME:-}" "${SKBUILD_BUILD_DIR:-}"
            find csrc src CMakeLists.txt pyproject.toml -type f ! -name '*.pyc' \
                ! -name '*.so' ! -path '*/__pycache__/*' -print0 \
                | LC_ALL=C sort -z | xargs -0 sha256sum
        } | sha256sum | cut -c1-16
    )
    built=$(sed -n 's/^sources //p' "$stamp" 2>/dev/null || true)
    have=$(sed -n 's/^extras //p' "$stamp" 2>/dev/null || true)
    missing=""
    for extra in ${EXTRAS//,/ }; do
        case ",$have," in *",$extra,"*) ;; *) missing="$missing $extra" ;; esac
    done
    if [ "$built" = "$sources" ] && [ -z "$missing" ] \
            && "$PY" -c 'import vantrel.connection' 2>/dev/null; then
        say "vantrel is up to date in ${VENV#"$PWD"/} (Python $ver; built from these sources)"
    else
        if [ "$built" = "$sources" ]; then
            why="the extras$missing"
        elif [ -z "$built" ]; then
            why="first build"
        else
            why="sources changed"
        fi
        say "building vantrel for Python $ver into ${VENV#"$PWD"/} ($why) ..."
        rm -f "$stamp"
        # No build isolation: the build tools above are already in the environment,
        # which keeps repeated builds fast.
        "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation ".[${EXTRAS}]"
        if [ "$built" = "$sources" ] && [ -n "$have" ]; then
            EXTRAS="$have,$EXTRAS"  # the extras installed before are still there
        fi
        printf 'sources %s\nextras %s\n' "$sources" "$EXTRAS" > "$stamp"
        say "vantrel built and installed"
    fi
fi
