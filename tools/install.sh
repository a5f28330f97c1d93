#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, then builds and installs norvo (with its test
# extras) into the virtual environment .venv at the top of the checkout.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

need=()
for pkg in g++ libssl-dev libgtest-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
    echo "installing Debian packages: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
# cmake and ninja come from PyPI too, so the core tests build without Debian's versions.
.venv/bin/python -m pip install -q cmake ninja
.venv/bin/python -m pip install -q ".[test]"
