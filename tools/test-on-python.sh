#!/usr/bin/env bash
# Installs norvo for one more CPython release into an environment of its own (.venv-X.Y), built
# in build/python-X.Y, and runs the Python tests there. A release that this machine does not
# have is said and skipped: the run goes on with what there is.
# Its runtime dependencies are then taken up to the newest releases that pyproject.toml allows,
# not the exact ones of constraints.txt, so that a new release that breaks the library shows
# here while the main run keeps the tested versions; the build tools and pytest stay pinned.
#
#   tools/test-on-python.sh 3.13
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
want="${1:?usage: tools/test-on-python.sh X.Y}"

if ! python="$(bash tools/find-python.sh "$want")"; then
    echo "test-on-python: CPython $want is not on this machine (no python$want on the PATH or under pyenv)"
    echo "test-on-python: SKIPPED: the tests did not run on CPython $want"
    exit 0
fi
export NORVO_VENV=".venv-$want"
# A build of its own, whose test probe is built for this interpreter.
export NORVO_BUILD_DIR="build/python-$want"
PYTHON="$python" bash tools/install.sh --tests
venv_python="$NORVO_VENV/bin/python"
listed="$("$venv_python" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]))')"
mapfile -t ranges <<<"$listed"
pip=("$venv_python" -m pip -q --disable-pip-version-check)
"${pip[@]}" install --upgrade --upgrade-strategy eager "${ranges[@]}"
"${pip[@]}" check
echo "test-on-python: CPython $want with the newest allowed releases: $("$venv_python" -m pip --disable-pip-version-check freeze --exclude norvo | tr '\n' ' ')"
bash tools/test.sh --pytest
