#!/usr/bin/env bash
# Runs the whole Python suite against a Debug build of the extension (assertions
# on) compiled with AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded into
# it, and through the environment into every interpreter the tests start.
#
# Two passes: everything with the allocator ending the process on any request
# it cannot serve, then the allocation-failure cases with it failing as the
# system allocator does (null, hence std::bad_alloc, hence MemoryError).
# Leak detection is off: the interpreter never frees much of what it allocates,
# and the module's own references are counted by the suite itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
build="$root/build/sanitized-module"

# GCC's runtimes are the ones preloaded below, so GCC builds the module.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DTAMARIND_SANITIZE=ON -DTAMARIND_BUILD_MODULE=ON -DTAMARIND_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target _tamarind

export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export PYTHONPATH="$build:$root/python"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
base_options=detect_leaks=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1

# The suite must see this build, with the sanitizers loaded, or the stage proves nothing.
ASAN_OPTIONS=$base_options python3 - "$build" <<'EOF'
import pathlib, sys
import _tamarind
module = pathlib.Path(_tamarind.__file__).resolve()
assert module.parent == pathlib.Path(sys.argv[1]).resolve(), f"imported {module}, not the sanitized build"
assert "libasan" in pathlib.Path("/proc/self/maps").read_text(), "AddressSanitizer is not loaded"
EOF

cd "$root/tests/python"
ASAN_OPTIONS=$base_options:allocator_may_return_null=0 \
  python3 -m pytest -q -p no:cacheprovider -m "not allocation_failure" "$root/tests/python"
ASAN_OPTIONS=$base_options:allocator_may_return_null=1 \
  python3 -m pytest -q -p no:cacheprovider -m allocation_failure "$root/tests/python"
