#!/usr/bin/env bash
# Builds and runs the fuzz targets: the libFuzzer targets on the C++ codecs (fuzz/core/*.cpp)
# and the atheris targets on the Python entry points (fuzz/py/norvo_targets/, each run by
# fuzz/py/atheris_main.py), every one with AddressSanitizer and UndefinedBehaviorSanitizer.
# The extension modules are the sanitizer build that tools/asan-tests.sh runs the tests on
# (tools/sanitizer-build.sh): built with clang's coverage hooks, so the atheris targets are
# guided by the C++ code they reach, not only by the Python around it. The key-file targets
# derive keys with a few-round engine (norvo_targets.fast_key_derivation), so they run
# thousands of inputs, not dozens.
#
#   fuzz/run.sh [--short | --long | --seconds N] [--core | --py] [target ...]
#
#   --short      20 s per target (the default; what CI runs)
#   --long       5 minutes per target, for a coverage plateau (on demand)
#   --seconds N  N seconds per target
#   --core       only the libFuzzer targets;  --py  only the atheris targets
#   --parallel N run N targets at a time (default 1)
#   target ...   only these (names as in fuzz/corpus/: ies_format, container_bytes, ...)
#
# Seeds are read from fuzz/corpus/<target>/ (never written); new inputs go to
# $NORVO_FUZZ_DIR/corpus/<target>/, findings to $NORVO_FUZZ_DIR/artifacts/<target>/. A finding,
# or a target that fails before fuzzing (a module that does not import), makes the script
# fail; keep a finding's input under tests/regressions/<target>/ once it is fixed.
# A summary with each target's executions, coverage (cov: code edges, ft: features), the
# inputs it added, where in the run coverage last grew, and its result ends the output
# (and is kept in $NORVO_FUZZ_DIR/summary.txt).
#
# Needs what `bash tools/install.sh --dev` installs. Environment: NORVO_FUZZ_DIR (default
# build/fuzz), NORVO_SANITIZE_BUILD_DIR (the modules, default build/sanitize),
# NORVO_BUILD_JOBS (build jobs, default all cores), PYTHON (default .venv/bin/python).
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
        -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
        -*) echo "fuzz/run.sh: unknown option $1" >&2; exit 2 ;;
        *) only+=("$1") ;;
    esac
    shift
done

out="$(realpath -m "${NORVO_FUZZ_DIR:-build/fuzz}")"
PYTHON="$(command -v "${PYTHON:-.venv/bin/python}")" || { echo "fuzz/run.sh: no interpreter; run tools/install.sh --dev" >&2; exit 2; }
case "$PYTHON" in /*) ;; *) PYTHON="$top/$PYTHON" ;; esac
# cmake and ninja come from the virtual environment (tools/install.sh puts them there).
export PATH="$(dirname "$PYTHON"):$PATH"
san_who=fuzz/run.sh
# shellcheck source=tools/sanitizer-build.sh
. "$top/tools/sanitizer-build.sh"

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
# Every atheris target has its seeds in fuzz/corpus/<target>/ (tests/test_fuzz_regressions.py
# holds it to that), so the folders there that are no libFuzzer target name the atheris ones.
py_targets=()
for d in fuzz/corpus/*/; do
    [ -d "$d" ] || continue
    t="$(basename "$d")"
    [ -e "fuzz/core/$t.cpp" ] && continue
    selected "$t" && py_targets+=("$t")
done
[ "$want_core" -eq 1 ] || core_targets=()
[ "$want_py" -eq 1 ] || py_targets=()

# ---------------------------------------------------------------- builds
if [ "${#core_targets[@]}" -gt 0 ]; then
    echo "fuzz/run.sh: building ${core_targets[*]}"
    cmake -S . -B "$out/core" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_COMPILER="$CLANGXX" \
        -DNORVO_SANITIZE=address,undefined,fuzzer-no-link -DNORVO_PYTHON=OFF -DNORVO_FUZZ=ON >/dev/null
    cmake --build "$out/core" -j "${NORVO_BUILD_JOBS:-$(nproc)}" --target "${core_targets[@]/#/fuzz_}"
fi
if [ "${#py_targets[@]}" -gt 0 ]; then
    san_build_modules
    # libFuzzer's coverage hooks, preloaded ahead of the no-op hooks in the ASan runtime.
    if [ ! -f "$out/libfuzzer_rt.so" ] || [ "$FUZZER_NO_MAIN" -nt "$out/libfuzzer_rt.so" ]; then
        mkdir -p "$out"
        "$CLANGXX" -shared -o "$out/libfuzzer_rt.so" -Wl,--whole-archive \
            "$FUZZER_NO_MAIN" -Wl,--no-whole-archive -lstdc++ -lpthread -ldl -lm
    fi
fi

symbolizer="$(san_symbolizer "$out/symbolizer")"

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
    # (A log without these lines, from a target that never started, leaves them empty.)
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    new="$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)"
    cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)"
    ft="$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)"
    # Where coverage last grew, as a share of the run's executions: near 100% means the
    # target was still finding new code when time ran out; a small share means a plateau.
    local last
    last="$(awk '/^#[0-9]+/ && match($0, /cov: [0-9]+/) {
                 n = substr($1, 2) + 0; c = substr($0, RSTART + 5, RLENGTH - 5) + 0
                 if (c > best) { best = c; at = n } }
             END { if (at) print at }' "$log")"
    if [ "$status" -eq 0 ]; then
        result=ok
    elif ! grep -q "^INFO: Seed:" "$log"; then  # libFuzzer never started
        result="FAILED to start (log $log)"
        failed=1
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
    LD_PRELOAD="$out/libfuzzer_rt.so $ASAN_RT" \
    ASAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}detect_leaks=0:verify_asan_link_order=0:halt_on_error=1" \
    UBSAN_OPTIONS="${symbolizer:+external_symbolizer_path=$symbolizer:}print_stacktrace=1:halt_on_error=1" \
    PYTHONMALLOC=malloc PYTHONPATH="$SAN_BUILD_DIR/python" \
        "$PYTHON" fuzz/py/atheris_main.py "$t" $(fuzz_args "$t") >"$log" 2>&1
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
grep -q "FOUND\|FAILED" "$summary" && failed=1

echo
cat "$summary"
exit "$failed"
