# Shared set-up of the scripts: a virtual environment per interpreter with
# the build tools and the package built and installed in it.  The package is
# built again only when a file of csrc/ or src/, CMakeLists.txt, pyproject.toml
# or a build setting changed since the build installed there; extras missing
# from an up-to-date build are installed without building again.  What happens
# is said on stderr, the compiler's progress too.
#   PYTHON      interpreter to use (default: python3)
#   VENV        environment folder (default: .venv-<python version>)
#   EXTRAS      extras to install (default: fast)
#   TOOLS       more packages for the environment (default: none)
#   NO_PACKAGE  1: the environment and the tools only, the package not built
#   BUILD_ONLY  1: the script that sources this file ends here, once the
#               package is built (CI builds ahead while other stages run)
# Build settings (CMakeLists.txt): VANTREL_SANITIZE, VANTREL_PUBLIC_API,
# VANTREL_STATIC_RUNTIME, and VANTREL_WERROR (CI and scripts/lint: warnings
# as errors; no script a user runs sets it, so scripts/demo and scripts/test
# share one build).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
ver=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV=${VENV:-.venv-$ver}
case $VENV in /*) ;; *) VENV=$PWD/$VENV ;; esac
EXTRAS=${EXTRAS:-fast}
say() { echo "$*" >&2; }
# No byte-code compiled at install: each module is compiled when first
# imported, and an environment of the test extras installs in half the time.
pip_install() { "$PY" -m pip install -q --disable-pip-version-check --no-compile "$@"; }
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
    pip_install --upgrade pip >/dev/null
    # $tools unquoted: a list of requirements, one word each
    pip_install $tools >/dev/null
    echo "$tools" > "$tools_stamp"
fi
if [ "${NO_PACKAGE:-0}" != 1 ]; then
    # The package is built again only when a source or a build setting changed
    # since the build installed here: the stamp holds their hash and the
    # extras installed with it.
    stamp="$VENV/.vantrel-build"
    sources=$(
        {
            printf '%s\n' "$PY" "${VANTREL_WERROR:-OFF}" "${VANTREL_SANITIZE:-}" \
                "${VANTREL_STATIC_RUNTIME:-}" "${VANTREL_PUBLIC_API:-OFF}" "${SKBUILD_BUILD_DIR:-}"
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
    if [ "$built" = "$sources" ] && "$PY" -c 'import vantrel.connection' 2>/dev/null; then
        say "vantrel is up to date in ${VENV#"$PWD"/} (Python $ver; built from these sources)"
        if [ -n "$missing" ]; then
            # The requirements of the missing extras, as pyproject.toml lists them.
            say "installing the extras${missing} ..."
            reqs=$("$PY" - $missing <<'PYEOF'
import sys
try:
    import tomllib
except ImportError:  # before 3.11: scikit-build-core brings tomli
    import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
print("\n".join(r for name in sys.argv[1:] for r in extras[name]))
PYEOF
            )
            mapfile -t reqs <<< "$reqs"
            pip_install "${reqs[@]}"
            printf 'sources %s\nextras %s\n' "$sources" "$have,${EXTRAS}" > "$stamp"
        fi
    else
        if [ "$built" = "$sources" ]; then
            why="not importable"
        elif [ -z "$built" ]; then
            why="first build: about 3 minutes on 2 cores"
        else
            why="sources changed"
        fi
        say "building vantrel for Python $ver into ${VENV#"$PWD"/} ($why) ..."
        rm -f "$stamp"
        # No build isolation: the build tools above are already in the
        # environment, which keeps repeated builds fast.  pip's verbose log
        # goes to a file; the compiler's progress lines are shown.
        log="$VENV/.vantrel-build.log"
        set +e
        "$PY" -m pip install -v --disable-pip-version-check --no-compile --no-build-isolation ".[${EXTRAS}]" 2>&1 \
            | tee "$log" | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] (Building|Linking)' \
            | sed -u -E 's/^ *(\[[0-9]+\/[0-9]+\]) (Building|Linking) CXX (object|shared module) /  \1 /' >&2
        status=${PIPESTATUS[0]}
        set -e
        if [ "$status" -ne 0 ]; then
            tail -n 80 "$log" >&2
            say "the build failed (the whole log: ${log#"$PWD"/})"
            exit "$status"
        fi
        if [ "$built" = "$sources" ] && [ -n "$have" ]; then
            EXTRAS="$have,$EXTRAS"  # the extras installed before are still there
        fi
        printf 'sources %s\nextras %s\n' "$sources" "$EXTRAS" > "$stamp"
        say "vantrel built and installed"
    fi
fi
if [ "${BUILD_ONLY:-0}" = 1 ]; then
    exit 0
fi
