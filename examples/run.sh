#!/usr/bin/env bash
# Installs norvo into .venv (with what a fresh machine lacks) and runs the example.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$top/tools/install.sh"
cd "$top/examples" && ../.venv/bin/python road.py
