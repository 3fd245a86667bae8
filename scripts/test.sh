#!/usr/bin/env bash
# Runs every test: the C++ suite (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer) and the Python suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# System packages the C++ tests need (GoogleTest, GMP as an independent reference).
if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/gmpxx.h ]; then
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev libgmp-dev >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check "pytest>=7" "mypy>=1.8"
# The build tools, from PyPI when the machine has none.
command -v cmake >/dev/null || python3 -m pip install -q --disable-pip-version-check "cmake>=3.20"
command -v ninja >/dev/null || python3 -m pip install -q --disable-pip-version-check ninja
python3 -m pip install -q --disable-pip-version-check "$root"

for variant in release sanitize; do
  build="$root/build/tests-$variant"
  if [ "$variant" = sanitize ]; then
    flags=(-DTAMARIND_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  else
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  fi
  cmake -S "$root" -B "$build" -G Ninja -DTAMARIND_BUILD_MODULE=OFF -DTAMARIND_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$build" -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
done

cd "$root/tests/python"
python3 -m pytest -q "$root/tests/python"

# The extension itself under AddressSanitizer and UndefinedBehaviorSanitizer.
bash "$root/scripts/test_sanitized_module.sh"

# An embedding program that finalizes and re-initializes Python between uses of the module.
bash "$root/scripts/test_embedding.sh"
