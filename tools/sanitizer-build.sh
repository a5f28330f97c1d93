# Sourced by tools/asan-tests.sh and fuzz/run.sh. One clang build of the extension modules
# with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage hooks serves both:
# the sanitizer run of the test suite loads it with the ASan runtime alone (the coverage hooks
# are then the runtime's no-ops), and the atheris fuzzers load it with libFuzzer's hooks first.
#
# Expects: top (the checkout), PYTHON (an absolute path), san_who (name for messages).
# Provides: CLANGXX, SAN_ARCH, SAN_RT_DIR, ASAN_RT, FUZZER_NO_MAIN, SAN_BUILD_DIR and the
# functions san_build_modules [target ...] and san_symbolizer DIR.

san_die() { echo "$san_who: $*" >&2; exit 2; }

CLANGXX="$(command -v clang++ || true)"
[ -n "$CLANGXX" ] || san_die "clang++ not found (bash tools/install.sh --dev installs it)"
SAN_ARCH="$(uname -m)"
# Runtimes named by architecture (clang up to 15), or in a directory per target (later clang).
SAN_RT_DIR="$("$CLANGXX" -print-resource-dir)/lib/linux"
ASAN_RT="$SAN_RT_DIR/libclang_rt.asan-$SAN_ARCH.so"
FUZZER_NO_MAIN="$SAN_RT_DIR/libclang_rt.fuzzer_no_main-$SAN_ARCH.a"
if [ ! -f "$ASAN_RT" ]; then
    SAN_RT_DIR="$("$CLANGXX" -print-resource-dir)/lib/$SAN_ARCH-unknown-linux-gnu"
    ASAN_RT="$SAN_RT_DIR/libclang_rt.asan.so"
    FUZZER_NO_MAIN="$SAN_RT_DIR/libclang_rt.fuzzer_no_main.a"
fi
[ -f "$ASAN_RT" ] && [ -f "$FUZZER_NO_MAIN" ] ||
    san_die "clang's sanitizer runtimes are missing under $SAN_RT_DIR (bash tools/install.sh --dev installs them)"
SAN_BUILD_DIR="$(realpath -m "${NORVO_SANITIZE_BUILD_DIR:-$top/build/sanitize}")"

# -O1 -g1: half the compile time of -O2 -g, and line tables enough for the reports' stacks.
# The interpreter is not instrumented: the modules leave the sanitizer runtime to be preloaded
# (-shared-libasan), and that runtime carries the UBSan handlers as well.
san_build_modules() {  # san_build_modules [cmake target ...] (default: every module)
    echo "$san_who: building the sanitizer modules into $SAN_BUILD_DIR"
    cmake -S "$top" -B "$SAN_BUILD_DIR" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DCMAKE_CXX_COMPILER="$CLANGXX" \
        -DCMAKE_CXX_FLAGS=-shared-libasan \
        -DCMAKE_SHARED_LINKER_FLAGS=-shared-libasan \
        -DCMAKE_MODULE_LINKER_FLAGS=-shared-libasan \
        -DNORVO_SANITIZE=address,undefined,fuzzer-no-link \
        -DNORVO_PYTHON=ON \
        -DNORVO_TEST_PROGRAMS=ON \
        -DPython_EXECUTABLE="$PYTHON" >/dev/null
    cmake --build "$SAN_BUILD_DIR" -j "${NORVO_BUILD_JOBS:-$(nproc)}" --target "${@:-norvo_modules}"
}

# The sanitizers start llvm-symbolizer for their reports; it must not get the preloaded
# runtime itself (it deadlocks and never exits), so it runs through a wrapper without it.
san_symbolizer() {  # san_symbolizer DIR: prints the wrapper's path, or nothing without one
    local real
    real="$(command -v llvm-symbolizer || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | tail -1 || true)"
    [ -n "$real" ] || return 0
    mkdir -p "$1"
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$1/llvm-symbolizer"
    chmod +x "$1/llvm-symbolizer"
    echo "$1/llvm-symbolizer"
}
