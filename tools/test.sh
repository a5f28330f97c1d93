#!/usr/bin/env bash
# Runs every test: pytest on the installed package (.venv), then ctest on the core. The core's
# tests come from the release build that `tools/install.sh --dev` keeps in build/release;
# without it they are built into build/core-tests first.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
export PATH="$top/.venv/bin:$PATH"

# Run from tests/ so that the source tree never shadows the installed package.
(cd tests && ../.venv/bin/python -m pytest -q -p no:cacheprovider .)

core=build/release
if [ ! -f "$core/CTestTestfile.cmake" ]; then
    core=build/core-tests
    cmake -S . -B "$core" -G Ninja -DNORVO_PYTHON=OFF -DNORVO_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$core" -j "${NORVO_BUILD_JOBS:-$(nproc)}"
fi
ctest --test-dir "$core" --output-on-failure
