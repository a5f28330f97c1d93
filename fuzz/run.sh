#!/usr/bin/env bash
# Builds and runs the fuzz targets: the libFuzzer targets on the C++ codecs (fuzz/core/*.cpp)
# and the atheris targets on the Python entry points (fuzz/py/fuzz_*.py), every one with
# AddressSanitizer and UndefinedBehaviorSanitizer. The extension modules are built with
# clang's coverage instrumentation too, so the atheris targets are guided by the C++ code
# they reach, not only by the Python around it.
#
#   fuzz/run.sh [--short | --long | --seconds N] [--core | --py] [target ...]
#
#   --short      about 20 s per target (the default; what CI runs)
#   --long       5 minutes per target, for a coverage plateau (on demand)
#   --seconds N  N seconds per target
#   --core       only the libFuzzer targets;  --py  only the atheris targets
#   --parallel N run N targets at a time (default 1)
#   target ...   only these (names as in fuzz/corpus/: ies_format, container_bytes, ...)
#
# Seeds are read from fuzz/corpus/<target>/ (never written); new inputs go to
# $NORVO_FUZZ_DIR/corpus/<target>/, findings to $NORVO_FUZZ_DIR/artifacts/<target>/. A finding
# makes the script fail; keep its input under tests/regressions/<target>/ once it is fixed.
# A summary with each target's executions, coverage (cov: code edges, ft: features), the
# inputs it added, where in the run coverage last grew, and its result ends the output
# (and is kept in $NORVO_FUZZ_DIR/summary.txt).
#
# Environment: NORVO_FUZZ_DIR (default build/fuzz), NORVO_FUZZ_JOBS (build jobs, default all
# cores), NORVO_FUZZ_PY_TARGETS (CMake targets for the modules, default norvo_modules),
# PYTHON (default .venv/bin/python when present, else python3).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"

seconds=20
want_core=1
want_py=1
parallel=1
only=()
while [ $# -gt 0 ]; do
    case "$1" in
        --short) seconds=20 ;;
        --long) seconds=300 ;;
        --seconds) seconds="$2"; shift ;;
        --core) want_py=0 ;;
        --py) want_core=0 ;;
        --parallel) parallel="$2"; shift ;;
        -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
        -*) echo "fuzz/run.sh: unknown option $1" >&2; exit 2 ;;
        *) only+=("$1") ;;
    esac
    shift
done

out="$(realpath -m "${NORVO_FUZZ_DIR:-build/fuzz}")"
jobs="${NORVO_FUZZ_JOBS:-$(nproc)}"
if [ -z "${PYTHON:-}" ]; then
    if [ -x .venv/bin/python ]; then PYTHON=.venv/bin/python; else PYTHON=python3; fi
fi
PYTHON="$(command -v "$PYTHON")"
case "$PYTHON" in /*) ;; *) PYTHON="$top/$PYTHON" ;; esac
# cmake and ninja may come from PyPI beside the interpreter (tools/install.sh puts them there).
export PATH="$(dirname "$PYTHON"):$PATH"

# ---------------------------------------------------------------- tools
apt_updated=0
apt_install() {
    [ "$(id -u)" -eq 0 ] || { echo "fuzz/run.sh: please install: $*" >&2; exit 2; }
    if [ "$apt_updated" -eq 0 ]; then apt-get update -qq; apt_updated=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
command -v clang++ >/dev/null || apt_install clang
resdir="$(clang++ -print-resource-dir)"
rtdir="$resdir/lib/linux"
arch="$(uname -m)"
if [ ! -f "$rtdir/libclang_rt.fuzzer_no_main-$arch.a" ]; then
    major="$(clang++ -dumpversion | cut -d. -f1)"
    apt_install "libclang-rt-$major-dev" || apt_install "libclang-rt-dev"
fi
asan_rt="$rtdir/libclang_rt.asan-$arch.so"
[ -f "$asan_rt" ] || { echo "fuzz/run.sh: $asan_rt missing" >&2; exit 2; }
command -v cmake >/dev/null || "$PYTHON" -m pip install -q cmake
command -v ninja >/dev/null || "$PYTHON" -m pip install -q ninja

selected() {  # selected NAME: true when no names were given or NAME is among them
    [ "${#only[@]}" -eq 0 ] && return 0
    local t
    for t in "${only[@]}"; do [ "$t" = "$1" ] && return 0; done
    return 1
}

core_targets=()
for f in fuzz/core/*.cpp; do
    [ -e "$f" ] || continue
    t="$(basename "$f" .cpp)"
    selected "$t" && core_targets+=("$t")
done
py_targets=()
for f in fuzz/py/fuzz_*.py; do
    [ -e "$f" ] || continue
    t="$(basename "$f" .py)"; t="${t#fuzz_}"
    selected "$t" && py_targets+=("$t")
done
[ "$want_core" -eq 1 ] || core_targets=()
[ "$want_py" -eq 1 ] || py_targets=()

# ---------------------------------------------------------------- builds
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
        -DCMAKE_CXX_COMPILER="$(command -v clang++)" -DNORVO_SANITIZE=address,undefined,fuzzer-no-link)
if [ "${#core_targets[@]}" -gt 0 ]; then
    echo "fuzz/run.sh: building ${core_targets[*]}"
    cmake -S . -B "$out/core" "${common[@]}" -DNORVO_PYTHON=OFF -DNORVO_FUZZ=ON >/dev/null
    cmake --build "$out/core" -j "$jobs" --target "${core_targets[@]/#/fuzz_}"
fi
if [ "${#py_targets[@]}" -gt 0 ]; then
    "$PYTHON" -c "import atheris" 2>/dev/null || "$PYTHON" -m pip install -q atheris
    "$PYTHON" -c "import pybind11" 2>/dev/null || "$PYTHON" -m pip install -q "pybind11==3.0.1"
    echo "fuzz/run.sh: building the extension modules with coverage and sanitizers"
    # The interpreter is not instrumented: the modules leave the sanitizer runtime to be
    # preloaded (-shared-libasan) and take libFuzzer's coverage hooks from the preloaded
    # runtime below, ahead of the no-op hooks in the ASan runtime.
    cmake -S . -B "$out/py" "${common[@]}" -DNORVO_PYTHON=ON -DPython_EXECUTABLE="$PYTHON" \
        -DCMAKE_CXX_FLAGS=-shared-libasan -DCMAKE_MODULE_LINKER_FLAGS=-shared-libasan >/dev/null
    # shellcheck disable=SC2086
    cmake --build "$out/py" -j "$jobs" --target ${NORVO_FUZZ_PY_TARGETS:-norvo_modules}
    if [ ! -f "$out/libfuzzer_rt.so" ] || [ "$rtdir/libclang_rt.fuzzer_no_main-$arch.a" -nt "$out/libfuzzer_rt.so" ]; then
        clang++ -shared -o "$out/libfuzzer_rt.so" -Wl,--whole-archive \
            "$rtdir/libclang_rt.fuzzer_no_main-$arch.a" -Wl,--no-whole-archive -lstdc++ -lpthread -ldl -lm
    fi
fi

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
symbolizer="$(make_symbolizer "$out/symbolizer")"

# ---------------------------------------------------------------- runs
mkdir -p "$out/logs"
summary="$out/summary.txt"
printf '%-20s %-5s %12s %8s %8s %7s %9s  %s\n' target kind executions cov ft new cov-grew result >"$summary"
failed=0

fuzz_args() {  # fuzz_args TARGET
    mkdir -p "$out/corpus/$1" "$out/artifacts/$1"
    local seeds=()
    [ -d "fuzz/corpus/$1" ] && seeds=("fuzz/corpus/$1")
    echo -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -malloc_limit_mb=256 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$1/" "$out/corpus/$1" "${seeds[@]}"
}

record() {  # record TARGET KIND STATUS LOG
    local t="$1" kind="$2" status="$3" log="$4" result
    local execs cov ft new
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    new="$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)"
    cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)"
    ft="$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)"
    # Where coverage last grew, as a share of the run's executions: near 100% means the
    # target was still finding new code when time ran out; a small share means a plateau.
    local last
    last="$(awk '/^#[0-9]+/ && match($0, /cov: [0-9]+/) {
                 n = substr($1, 2) + 0; c = substr($0, RSTART + 5, RLENGTH - 5) + 0
                 if (c > best) { best = c; at = n } }
             END { if (at) print at }' "$log")"
    if grep -q ": skipped, " "$log"; then
        result="skipped ($(grep -m1 ': skipped, ' "$log" | sed 's/.*skipped, //'))"
    elif [ "$status" -eq 0 ]; then
        result=ok
    else
        local a
        a="$(ls -t "$out/artifacts/$t/" 2>/dev/null | head -1)"
        result="FOUND ${a:-"(no input kept: it failed on the seeds)"} (log $log)"
        failed=1
    fi
    local grew=-
    if [ -n "$last" ] && [ -n "$execs" ] && [ "$execs" -gt 0 ]; then grew="$((100 * last / execs))%"; fi
    printf '%-20s %-5s %12s %8s %8s %7s %9s  %s\n' "$t" "$kind" "${execs:--}" "${cov:--}" "${ft:--}" "${new:--}" \
        "$grew" "$result" | tee -a "$summary"
}

run_core() {  # run_core TARGET
    local t="$1" log="$out/logs/$1.log" status
    echo "fuzz/run.sh: $t (libFuzzer, ${seconds}s)"
    set +e
    # shellcheck disable=SC2046
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$out/core/fuzz_$t" $(fuzz_args "$t") >"$log" 2>&1
    status=$?
    set -e
    record "$t" core "$status" "$log"
}

run_py() {  # run_py TARGET
    local t="$1" log="$out/logs/$1.log" status
    echo "fuzz/run.sh: $t (atheris, ${seconds}s)"
    set +e
    # shellcheck disable=SC2046
    LD_PRELOAD="$out/libfuzzer_rt.so $asan_rt" \
    ASAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}detect_leaks=0:verify_asan_link_order=0:halt_on_error=1" \
    UBSAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}print_stacktrace=1:halt_on_error=1" \
    PYTHONMALLOC=malloc PYTHONPATH="$out/py/python" \
        "$PYTHON" "fuzz/py/fuzz_$t.py" $(fuzz_args "$t") >"$log" 2>&1
    status=$?
    set -e
    record "$t" py "$status" "$log"
}

running=0
start() {  # start KIND TARGET: runs it, at most $parallel at a time
    if [ "$parallel" -le 1 ]; then "run_$1" "$2"; return; fi
    if [ "$running" -ge "$parallel" ]; then wait -n || true; running=$((running - 1)); fi
    "run_$1" "$2" &
    running=$((running + 1))
}

for t in "${core_targets[@]}"; do start core "$t"; done
for t in "${py_targets[@]}"; do start py "$t"; done
wait
grep -q "FOUND" "$summary" && failed=1

echo
cat "$summary"
exit "$failed"
