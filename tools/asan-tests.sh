#!/usr/bin/env bash
# Builds every extension module with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan and runs the whole pytest suite on that build. Fails when pytest fails or when
# either sanitizer wrote a report (an over-read, a use after free, an oversized allocation,
# undefined behaviour), even if the test that triggered it passed.
#
#   tools/asan-tests.sh [pytest arguments...]
#
# Environment:
#   CXX                    compiler to build with (default c++; gcc and clang both work)
#   PYTHON                 interpreter (default .venv/bin/python when present, else python3)
#   NORVO_ASAN_BUILD_DIR   build directory (default build/asan)
#   NORVO_ASAN_TARGETS     CMake targets to build (default norvo_modules: every extension)
#   NORVO_ASAN_JOBS        parallel build jobs (default: all cores)
#   NORVO_ASAN_MAX_ALLOC_MB  largest single allocation allowed before it counts as a report
#                          (default 2048): a length field that drives a huge allocation shows up
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

if [ -z "${PYTHON:-}" ]; then
    if [ -x .venv/bin/python ]; then PYTHON=.venv/bin/python; else PYTHON=python3; fi
fi
CXX="${CXX:-c++}"
build="$(realpath -m "${NORVO_ASAN_BUILD_DIR:-build/asan}")"
targets="${NORVO_ASAN_TARGETS:-norvo_modules}"
jobs="${NORVO_ASAN_JOBS:-$(nproc)}"
max_alloc_mb="${NORVO_ASAN_MAX_ALLOC_MB:-2048}"

die() { echo "asan-tests: $*" >&2; exit 2; }

# The configure step asks the interpreter for pybind11's CMake files.
if ! "$PYTHON" -c "import pybind11" 2>/dev/null; then
    "$PYTHON" -m pip install -q "pybind11==3.0.1" || die "pybind11 is not importable by $PYTHON"
fi
PYTHON="$(command -v "$PYTHON")" || die "interpreter not found"
case "$PYTHON" in /*) ;; *) PYTHON="$top/$PYTHON" ;; esac
# cmake and ninja may come from PyPI beside the interpreter (tools/install.sh puts them there).
export PATH="$(dirname "$PYTHON"):$PATH"
command -v cmake >/dev/null || "$PYTHON" -m pip install -q cmake
command -v ninja >/dev/null || "$PYTHON" -m pip install -q ninja

# The interpreter itself is not instrumented, so the sanitizer runtimes must be loaded first,
# ahead of everything else, through LD_PRELOAD.
cxx_path="$(command -v "$CXX")" || die "compiler $CXX not found"
preload=()
extra_cxx_flags=""
if "$CXX" --version 2>/dev/null | grep -qi clang; then
    resdir="$("$CXX" -print-resource-dir)"
    rt="$resdir/lib/linux/libclang_rt.asan-$(uname -m).so"
    [ -f "$rt" ] || rt="$resdir/lib/$(uname -m)-unknown-linux-gnu/libclang_rt.asan.so"
    [ -f "$rt" ] || die "clang's shared ASan runtime not found under $resdir (apt-get install libclang-rt-dev)"
    # clang's shared ASan runtime carries the UBSan handlers as well; link the modules against it.
    preload+=("$rt")
    extra_cxx_flags="-shared-libasan"
else
    for lib in libasan.so libubsan.so; do
        p="$("$CXX" -print-file-name="$lib")"
        [ "$p" != "$lib" ] && [ -e "$p" ] || die "$lib not found for $CXX (apt-get install the compiler's sanitizer runtimes)"
        preload+=("$(readlink -f "$p")")
    done
fi

# -O1 -g1: half the compile time of -O2 -g, and line tables enough for the reports' stacks.
echo "asan-tests: building $targets into $build with $cxx_path"
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCMAKE_CXX_COMPILER="$cxx_path" \
    -DCMAKE_CXX_FLAGS="$extra_cxx_flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$extra_cxx_flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$extra_cxx_flags" \
    -DNORVO_PYTHON=ON \
    -DNORVO_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$PYTHON" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

# The sanitizers start llvm-symbolizer for their reports; it must not get the preloaded
# runtime itself (it deadlocks and never exits), so it runs through a wrapper without it.
make_symbolizer() {  # make_symbolizer DIR: prints the wrapper's path, or nothing without one
    local real
    real="$(command -v llvm-symbolizer || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | tail -1 || true)"
    [ -n "$real" ] || return 0
    mkdir -p "$1"
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$1/llvm-symbolizer"
    chmod +x "$1/llvm-symbolizer"
    echo "$1/llvm-symbolizer"
}
symbolizer="$(make_symbolizer "$build/symbolizer")"

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

# detect_leaks=0: CPython does not free everything at exit, which is not ours to report.
# PYTHONMALLOC=malloc puts every interpreter object (bytes included) in the sanitizer's heap,
# so a read one byte past a bytes object's buffer is caught, not hidden inside a pymalloc arena.
export LD_PRELOAD="${preload[*]}${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=0:max_allocation_size_mb=$max_alloc_mb:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"

set +e
# From tests/, so that the source tree never shadows the instrumented build.
(cd tests && "$PYTHON" -m pytest -p no:cacheprovider "$@")
status=$?
set -e
exit_code=0
if compgen -G "$reports/*" >/dev/null; then
    echo "asan-tests: sanitizer reports:" >&2
    for f in "$reports"/*; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    exit_code=1
fi
echo "asan-tests: pytest exit status $status"
if [ "$status" -ne 0 ] && [ "$exit_code" -eq 0 ]; then exit_code=$status; fi
exit $exit_code
