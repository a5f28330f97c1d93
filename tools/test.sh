#!/usr/bin/env bash
# Runs every test: pytest on the installed package, then ctest on the core. The core's tests
# come from the release build that `tools/install.sh --dev` keeps in build/release (or in
# NORVO_BUILD_DIR); without it they are built into build/core-tests first.
#
#   tools/test.sh              both
#   tools/test.sh --pytest     pytest only (the core's tests do not depend on the interpreter)
#
# NORVO_VENV names the environment that holds the package (default .venv), NORVO_BUILD_DIR the
# build that holds the test probe (default build/release; a relative path is taken from the top
# of the checkout).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
core_tests=1
case "${1:-}" in
    --pytest) core_tests=0 ;;
    "") ;;
    *) echo "usage: tools/test.sh [--pytest]" >&2; exit 2 ;;
esac
venv="$top/${NORVO_VENV:-.venv}"
case "${NORVO_VENV:-}" in /*) venv="$NORVO_VENV" ;; esac
export PATH="$venv/bin:$PATH"

# Run from tests/ so that the source tree never shadows the installed package.
(cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
[ "$core_tests" -eq 1 ] || exit 0

core="${NORVO_BUILD_DIR:-build/release}"
if [ ! -f "$core/CTestTestfile.cmake" ]; then
    core=build/core-tests
    cmake -S . -B "$core" -G Ninja -DNORVO_PYTHON=OFF -DNORVO_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$core" -j "${NORVO_BUILD_JOBS:-$(nproc)}"
fi
ctest --test-dir "$core" --output-on-failure
