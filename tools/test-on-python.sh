#!/usr/bin/env bash
# Installs norvo for one more CPython release into an environment of its own (.venv-X.Y), built
# in build/python-X.Y, and runs the Python tests there. A release that this machine does not
# have is said and skipped: the run goes on with what there is.
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
bash tools/test.sh --pytest
