#!/usr/bin/env bash
# Prints the path of CPython X.Y on this machine: pythonX.Y on the PATH, else the newest
# X.Y.* under pyenv (PYENV_ROOT, default ~/.pyenv). Prints nothing and fails when there is none.
#
#   tools/find-python.sh 3.13
set -euo pipefail
want="${1:?usage: tools/find-python.sh X.Y}"
is_it() { "$1" -c "import sys; sys.exit(not (sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$want'))" 2>/dev/null; }
for candidate in "$(command -v "python$want" || true)" \
    $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$want".*/bin/python 2>/dev/null | sort -rV); do
    if [ -n "$candidate" ] && is_it "$candidate"; then
        echo "$candidate"
        exit 0
    fi
done
exit 1
