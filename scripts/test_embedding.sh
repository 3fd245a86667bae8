#!/usr/bin/env bash
# Builds tests/embed/reinitialize.c, a program that embeds Python and
# finalizes and re-initializes it between rounds of using _tamarind, and runs
# it against the sanitized Debug build of the extension (the sanitize preset's
# tree, which the sanitized stages share), so that a pointer kept across
# finalization is caught as a use after free rather than missed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/sanitize"

cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$(nproc 2>/dev/null || echo 2)" --target _tamarind

mkdir -p "$build/embed"
program="$build/embed/reinitialize"
# shellcheck disable=SC2046  # the flags are meant to split
gcc -std=c11 -Wall -Wextra -Werror -o "$program" "$root/tests/embed/reinitialize.c" \
  $(python3-config --includes) $(python3-config --ldflags --embed)

# The embedded interpreter finds its standard library from this one's prefix.
PYTHONHOME=$(python3 -c 'import sys; print(sys.base_prefix)') \
PYTHONPATH="$build" \
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$program"
