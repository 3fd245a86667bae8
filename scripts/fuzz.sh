#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer, assertions on) and runs each from its seed corpus
# for a bounded time. Any crash, sanitizer report or mismatch fails the run; the
# input that caused it is kept under build/fuzz/findings/.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   space-separated target names (default: every fuzz_*.cpp)
#
# New inputs the fuzzer finds go to build/fuzz/corpus/<target>, which later runs
# start from too; the seeds in tests/fuzz/corpus are only read.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$root"
seconds=${FUZZ_SECONDS:-60}
build="$root/build/fuzz"

# Clang 16 with its libFuzzer runtime; GMP and OpenSSL are the references;
# GoogleTest's header comes with the shared test helpers. They come from the
# system and are never installed here (.ci/run installs them).
llvm=/usr/lib/llvm-16/lib/clang/16/lib/linux
missing=()
command -v clang++-16 >/dev/null && [ -f "$llvm/libclang_rt.fuzzer-x86_64.a" ] || missing+=(clang-16 libclang-rt-16-dev)
[ -f /usr/include/gmpxx.h ] || missing+=(libgmp-dev)
[ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ ${#missing[@]} -eq 0 ] || die "the fuzz targets need ${missing[*]}; install with: sudo apt-get install ${missing[*]}"
# CMake and Ninja from the project's environment (the package itself is not needed).
ensure_build_tools
export PATH="$venv/bin:$PATH"

CXX=clang++-16 cmake -S "$root/tests/fuzz" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

targets=${FUZZ_TARGETS:-$(cd "$root/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')}
mkdir -p "$build/findings"
failed=()
passed=0
for target in $targets; do
  work="$build/corpus/$target"
  seeds="$root/tests/fuzz/corpus/$target"
  mkdir -p "$work" "$seeds"
  log="$build/$target.log"
  # Extra libFuzzer flags a target needs, from tests/fuzz/<target>.options (one line).
  extra=()
  [ -f "$root/tests/fuzz/$target.options" ] && read -r -a extra <"$root/tests/fuzz/$target.options"
  echo "== $target: ${seconds}s"
  # The outcome is judged below, so that every target runs even after one fails.
  status=0
  "$build/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "${extra[@]}" "$work" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" = 0 ]; then
    echo "$target: ${runs:-?} executions, no finding"
    passed=$((passed + 1))
  else
    echo "$target: FAILED (exit $status) after ${runs:-?} executions; last lines of $log:"
    tail -40 "$log"
    failed+=("$target")
  fi
done

echo "fuzz targets: $passed passed, ${#failed[@]} failed"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $build/findings)"
  exit 1
fi
