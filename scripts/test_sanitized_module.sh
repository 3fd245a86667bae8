#!/usr/bin/env bash
# Runs the whole Python suite against a Debug build of the extension (assertions
# on) compiled with AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded into
# it, and through the environment into every interpreter the tests start.
#
# Two passes. First everything but the allocation-failure cases, under both
# sanitizers. Those cases need an operator new that throws std::bad_alloc, and
# AddressSanitizer's never does: it reports "out of memory" and ends the
# process whatever allocator_may_return_null says. So they run in a second
# pass against a Debug build with UndefinedBehaviorSanitizer alone, where the
# system allocator fails as it does in use (std::bad_alloc, hence MemoryError).
# Leak detection is off: the interpreter never frees much of what it allocates,
# and the module's own references are counted by the suite itself.
# The scale_out tests (the README's recipes, on multiprocessing pools and a
# Dask cluster) are left out of both: their programs hash batches of 20,000
# items, which take minutes in a Debug build under AddressSanitizer (about 50
# times slower than a release build), and what they use of the extension,
# hash_many and pickling, is tested here by the rest of the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
build="$root/build/sanitized-module"
ubsan_build="$root/build/ubsan-module"

# GCC's runtimes are the ones preloaded below, so GCC builds the module.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DTAMARIND_SANITIZE=ON -DTAMARIND_BUILD_MODULE=ON -DTAMARIND_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target _tamarind
cmake -S "$root" -B "$ubsan_build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=undefined -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=undefined \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=undefined \
  -DTAMARIND_BUILD_MODULE=ON -DTAMARIND_BUILD_TESTS=OFF >/dev/null
cmake --build "$ubsan_build" -j "$jobs" --target _tamarind

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1

# Each pass must see its build with its sanitizers loaded, or it proves nothing.
check_build() {
  python3 - "$@" <<'CHECK'
import pathlib, sys
import _tamarind
module = pathlib.Path(_tamarind.__file__).resolve()
assert module.parent == pathlib.Path(sys.argv[1]).resolve(), f"imported {module}, not {sys.argv[1]}"
maps = pathlib.Path("/proc/self/maps").read_text()
for runtime in sys.argv[2:]:
    assert runtime in maps, f"{runtime} is not loaded"
CHECK
}

cd "$root/tests/python"
(
  export LD_PRELOAD="$asan:$ubsan" PYTHONPATH="$build:$root/python"
  check_build "$build" libasan libubsan
  python3 -m pytest -q -p no:cacheprovider -m "not allocation_failure and not scale_out" "$root/tests/python"
)
(
  export LD_PRELOAD="$ubsan" PYTHONPATH="$ubsan_build:$root/python"
  check_build "$ubsan_build" libubsan
  python3 -m pytest -q -p no:cacheprovider -m allocation_failure "$root/tests/python"
)
