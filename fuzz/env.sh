#!/usr/bin/env bash
# fuzz/env.sh CMD [ARGS...]: runs CMD in the fuzzing environment: clang-14's AddressSanitizer
# runtime (with UndefinedBehaviorSanitizer in it) and a libFuzzer built from clang-14's own
# fuzzer_no_main archive, both preloaded, so that the module built with VIREL_FUZZ=ON loads and
# reports its coverage to the libFuzzer that atheris drives. Builds that libFuzzer library
# (build/fuzz/runtime/) on first use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${FUZZ_CXX:-clang++-14}
rtdir=$("$cxx" --print-runtime-dir)
asan="$rtdir/libclang_rt.asan-x86_64.so"
archive="$rtdir/libclang_rt.fuzzer_no_main-x86_64.a"
libfuzzer="$root/build/fuzz/runtime/libfuzzer-no-main.so"
for f in "$asan" "$archive"; do
    [ -f "$f" ] || { echo "fuzz/env.sh: $f is missing (apt-get install libclang-rt-14-dev)" >&2; exit 2; }
done
if [ ! -f "$libfuzzer" ] || [ "$archive" -nt "$libfuzzer" ]; then
    mkdir -p "$(dirname "$libfuzzer")"
    "$cxx" -shared -o "$libfuzzer.tmp" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive -lpthread -ldl -lm
    mv "$libfuzzer.tmp" "$libfuzzer"
fi
# libFuzzer first: the ASan runtime carries weak stand-ins of the coverage callbacks, and the
# module's counters must reach the libFuzzer that runs (hence verify_asan_link_order=0).
export LD_PRELOAD="$libfuzzer $asan"
# Python objects go through malloc, so ASan sees every object the module touches.
export PYTHONMALLOC=malloc
# CPython leaves its own memory at exit; leaks are checked elsewhere (tests/test_leaks.py, valgrind).
export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export PYTHONPATH="$root/fuzz${PYTHONPATH:+:$PYTHONPATH}"
exec "$@"
