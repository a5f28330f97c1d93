#!/usr/bin/env bash
# Sets up a checkout on a Debian machine: installs the Debian packages it lacks, creates the
# virtual environment .venv at the top, and builds and installs norvo into it, its
# dependencies at the exact versions of constraints.txt.
#
#   tools/install.sh          what the library, the example and the benchmarks need
#   tools/install.sh --dev    also the tools of the tests, the sanitizer run and the fuzzers
#                             (GoogleTest, clang and its runtimes, pytest, atheris), and a
#                             build in build/release that keeps the core's GoogleTest tests
#
# Run as root when Debian packages are missing. PYTHON picks the interpreter (default
# python3): Python 3.11; Debian's own gets python3-venv and python3-dev when missing.
# NORVO_BUILD_JOBS sets the compile jobs (default: all cores).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

dev=0
case "${1:-}" in
    --dev) dev=1 ;;
    "") ;;
    *) echo "usage: tools/install.sh [--dev]" >&2; exit 2 ;;
esac

PYTHON="${PYTHON:-python3}"
have() { dpkg -s "$1" >/dev/null 2>&1; }
apt_install() {  # apt_install PACKAGE...: the ones not installed yet
    local missing=() pkg
    for pkg in "$@"; do have "$pkg" || missing+=("$pkg"); done
    [ "${#missing[@]}" -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || { echo "install.sh: please install (as root): ${missing[*]}" >&2; exit 2; }
    echo "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ -z "${apt_updated:-}" ]; then apt-get update -qq; apt_updated=1; fi
    apt-get install -y -qq "${missing[@]}" >/dev/null
}

# ---------------------------------------------------------------- Debian packages
packages=(g++ libssl-dev)
if ! command -v "$PYTHON" >/dev/null; then
    [ "$PYTHON" = python3 ] || { echo "install.sh: $PYTHON not found" >&2; exit 2; }
    packages+=(python3 python3-venv python3-dev)
elif python_path="$(readlink -f "$(command -v "$PYTHON")")" && dpkg -S "$python_path" >/dev/null 2>&1; then
    # Debian's interpreter: creating the environment needs ensurepip (the venv package) and
    # building the modules needs its headers (the dev package).
    if [ "$python_path" = "$(readlink -f /usr/bin/python3 2>/dev/null)" ]; then
        packages+=(python3-venv python3-dev)
    else
        version="$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
        packages+=("python$version-venv" "python$version-dev")
    fi
fi
if [ "$dev" -eq 1 ]; then
    # llvm brings llvm-symbolizer, which puts file and line into the sanitizers' reports.
    packages+=(libgtest-dev clang llvm)
fi
apt_install "${packages[@]}"
if [ "$dev" -eq 1 ]; then
    # The sanitizer and libFuzzer runtimes come with clang or in a package of their own.
    resdir="$(clang++ -print-resource-dir)"
    if ! compgen -G "$resdir/lib/*/libclang_rt.fuzzer_no_main*.a" >/dev/null; then
        apt_install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
    fi
fi

# ---------------------------------------------------------------- Python
"$PYTHON" - <<'EOF' || exit 2
import sys
if not ((3, 11) <= sys.version_info[:2] < (3, 12)):
    sys.exit("install.sh: norvo needs Python 3.11, not %d.%d" % sys.version_info[:2])
EOF
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
pip=(.venv/bin/python -m pip -q --disable-pip-version-check)
"${pip[@]}" install -c constraints.txt pip
# The build tools, installed here once and used by every later build (no isolated build
# environment), at the versions of constraints.txt.
tools=(scikit-build-core pybind11 cmake ninja)
[ "$dev" -eq 1 ] && tools+=(pytest atheris)
"${pip[@]}" install -c constraints.txt "${tools[@]}"
# As many compile jobs as cores (ninja's own default runs more).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-${NORVO_BUILD_JOBS:-$(nproc)}}"
build=()
if [ "$dev" -eq 1 ]; then
    # One release build serves the installed package and the core's GoogleTest tests.
    build=(-C build-dir=build/release -C cmake.define.NORVO_CORE_TESTS=ON)
fi
"${pip[@]}" install -c constraints.txt --no-build-isolation "${build[@]}" .
