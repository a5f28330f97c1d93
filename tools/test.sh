#!/usr/bin/env bash
# Runs every test: pytest on the installed package (.venv), then ctest on the core.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
export PATH="$top/.venv/bin:$PATH"

# Run from tests/ so that the source tree never shadows the installed package.
(cd tests && ../.venv/bin/python -m pytest -q -p no:cacheprovider .)

cmake -S . -B build/core-tests -G Ninja -DNORVO_PYTHON=OFF -DNORVO_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure
