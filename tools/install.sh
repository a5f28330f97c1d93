#!/usr/bin/env bash
# Sets up a checkout on a Debian machine: installs the Debian packages it lacks, creates a
# virtual environment (.venv at the top), and builds and installs norvo into it, its
# dependencies at the exact versions of constraints.txt.
#
#   tools/install.sh          what the library, the example and the benchmarks need
#   tools/install.sh --tests  also pytest, for running the Python tests
#   tools/install.sh --dev    also the tools of every test, the sanitizer run and the fuzzers
#                             (GoogleTest, clang and its runtimes, pytest, atheris), and a
#                             build in build/release that keeps the core's GoogleTest tests,
#                             the test probe and the benchmark's limit program
#
# Run as root when Debian packages are missing. The interpreter: PYTHON when set, else the
# first CPython 3.11 to 3.13 found as python3, python3.13, python3.12 or python3.11 on the
# PATH, or under pyenv; Debian's python3 is installed when there is none. Debian's own
# interpreter gets its venv and dev packages when missing. NORVO_VENV names the environment
# (default .venv); an existing one is kept when its interpreter is supported. NORVO_BUILD_DIR
# keeps the build in that directory, with the test probe and the limit program, which the tests
# and the benchmarks look for there (--dev: default build/release). NORVO_BUILD_JOBS sets the
# compile jobs (default: all cores).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

dev=0 tests=0
case "${1:-}" in
    --dev) dev=1 tests=1 ;;
    --tests) tests=1 ;;
    "") ;;
    *) echo "usage: tools/install.sh [--tests | --dev]" >&2; exit 2 ;;
esac
venv="${NORVO_VENV:-.venv}"
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

# ---------------------------------------------------------------- the interpreter
supported() {  # supported INTERPRETER: a CPython from 3.11 to 3.13
    "$1" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and (3, 11) <= sys.version_info[:2] <= (3, 13)))' 2>/dev/null
}
pick_python() {  # the first supported interpreter, or nothing
    local candidate
    for candidate in python3 python3.13 python3.12 python3.11 \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[321].*/bin/python 2>/dev/null | sort -rV); do
        if command -v "$candidate" >/dev/null && supported "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
}
if [ -n "${PYTHON:-}" ]; then
    command -v "$PYTHON" >/dev/null || { echo "install.sh: $PYTHON not found" >&2; exit 2; }
    supported "$PYTHON" || { echo "install.sh: norvo needs CPython 3.11 to 3.13; $PYTHON is not one" >&2; exit 2; }
elif [ -x "$venv/bin/python" ] && supported "$venv/bin/python"; then
    PYTHON="$venv/bin/python"
else
    PYTHON="$(pick_python)"
    if [ -z "$PYTHON" ]; then
        # Debian's own: 3.11 on Debian 12, 3.13 on Debian 13.
        apt_install python3 python3-venv python3-dev
        PYTHON="$(pick_python)"
        [ -n "$PYTHON" ] || { echo "install.sh: norvo needs CPython 3.11 to 3.13, and none is on this machine" >&2; exit 2; }
    fi
fi
echo "install.sh: $("$PYTHON" -c 'import sys; print("CPython %d.%d.%d" % sys.version_info[:3])') ($PYTHON) into $venv"

# ---------------------------------------------------------------- Debian packages
packages=(g++ libssl-dev)
if python_path="$(readlink -f "$(command -v "$PYTHON")")" && dpkg -S "$python_path" >/dev/null 2>&1; then
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
version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }
if [ -x "$venv/bin/python" ] && [ "$(version_of "$venv/bin/python")" != "$(version_of "$PYTHON")" ]; then
    echo "install.sh: $venv holds Python $(version_of "$venv/bin/python"); making it again for $(version_of "$PYTHON")"
    rm -rf "$venv"
fi
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv "$venv"
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)
"${pip[@]}" install -c constraints.txt pip
# The build tools, installed here once and used by every later build (no isolated build
# environment), at the versions of constraints.txt.
tools=(scikit-build-core pybind11 cmake ninja)
[ "$tests" -eq 1 ] && tools+=(pytest)
[ "$dev" -eq 1 ] && tools+=(atheris)
"${pip[@]}" install -c constraints.txt "${tools[@]}"
# As many compile jobs as cores (ninja's own default runs more).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-${NORVO_BUILD_JOBS:-$(nproc)}}"
build=()
build_dir="${NORVO_BUILD_DIR:-}"
if [ "$dev" -eq 1 ]; then
    # One release build serves the installed package, the core's GoogleTest tests and the
    # programs of the tests and the benchmarks.
    build_dir="${build_dir:-build/release}"
    build=(-C cmake.define.NORVO_CORE_TESTS=ON)
fi
if [ -n "$build_dir" ]; then
    build+=(-C "build-dir=$build_dir" -C cmake.define.NORVO_TEST_PROGRAMS=ON)
fi
"${pip[@]}" install -c constraints.txt --no-build-isolation "${build[@]}" .
