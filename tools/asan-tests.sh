#!/usr/bin/env bash
# Runs the whole pytest suite on the extension modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang; the same build serves the atheris fuzzers, see
# tools/sanitizer-build.sh). Fails when pytest fails or when either sanitizer wrote a report
# (an over-read, a use after free, an oversized allocation, undefined behaviour), even if the
# test that triggered it passed.
#
#   tools/asan-tests.sh [pytest arguments...]
#
# Needs what `bash tools/install.sh --dev` installs. Environment:
#   PYTHON                     interpreter (default .venv/bin/python)
#   NORVO_SANITIZE_BUILD_DIR   build directory (default build/sanitize)
#   NORVO_BUILD_JOBS           parallel build jobs (default: all cores)
#   NORVO_ASAN_MAX_ALLOC_MB    largest single allocation allowed before it counts as a report
#                              (default 2048): a length field that drives a huge allocation shows up
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
san_who=asan-tests

PYTHON="$(command -v "${PYTHON:-.venv/bin/python}")" || { echo "asan-tests: no interpreter; run tools/install.sh --dev" >&2; exit 2; }
case "$PYTHON" in /*) ;; *) PYTHON="$top/$PYTHON" ;; esac
# cmake and ninja come from the virtual environment (tools/install.sh puts them there).
export PATH="$(dirname "$PYTHON"):$PATH"
# shellcheck source=tools/sanitizer-build.sh
. "$top/tools/sanitizer-build.sh"
max_alloc_mb="${NORVO_ASAN_MAX_ALLOC_MB:-2048}"

# The test probe too, so that the provider-scope helper runs instrumented like the modules.
san_build_modules norvo_modules scope_probe
symbolizer="$(san_symbolizer "$SAN_BUILD_DIR/symbolizer")"

reports="$SAN_BUILD_DIR/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

# detect_leaks=0: CPython does not free everything at exit, which is not ours to report.
# PYTHONMALLOC=malloc puts every interpreter object (bytes included) in the sanitizer's heap,
# so a read one byte past a bytes object's buffer is caught, not hidden inside a pymalloc arena.
export LD_PRELOAD="$ASAN_RT${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=0:max_allocation_size_mb=$max_alloc_mb:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$SAN_BUILD_DIR/python${PYTHONPATH:+:$PYTHONPATH}"
export NORVO_BUILD_DIR="$SAN_BUILD_DIR"

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
