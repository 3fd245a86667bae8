# Sourced by run.sh and test.sh: the project's own virtual environment and the
# package installed in it from the current sources. Nothing here needs root or
# asks a question; everything comes from PyPI through pip.
#
#   TAMARIND_VENV   where the environment lives (default: .venv in the repository)
#   PYTHON          the interpreter it is created from (default: python3)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${TAMARIND_VENV:-$root/.venv}
py=$venv/bin/python
logs=$root/build/logs
mkdir -p "$logs"

# What the build itself needs beside the compiler (scikit-build-core's own
# requirement list, plus CMake and Ninja so that no system copy is assumed).
# Installed once; builds then run without build isolation, so that a rebuild
# reuses build/ and recompiles only what changed.
build_tools=("scikit-build-core>=0.10" "cmake>=3.20" "ninja")

say() { printf '%s\n' "$*"; }
die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

pip_quiet() { "$py" -m pip --disable-pip-version-check --no-input "$@"; }

# Creates the environment on first use. Debian's python3 lacks ensurepip unless
# python3-venv is installed; pip itself can then fill the new environment.
ensure_venv() {
    [ -x "$py" ] && return 0
    local base=${PYTHON:-python3}
    command -v "$base" >/dev/null || die "$base not found: install Python 3.9 or later"
    say "Creating the project's virtual environment in ${venv#"$root"/} (first run only)..."
    if ! "$base" -m venv "$venv" >"$logs/venv.log" 2>&1; then
        rm -rf "$venv"
        "$base" -m venv --without-pip "$venv" >>"$logs/venv.log" 2>&1 &&
            "$base" -m pip --python "$py" install -q pip >>"$logs/venv.log" 2>&1 ||
            { rm -rf "$venv"; die "cannot create a virtual environment with $base (see build/logs/venv.log); on Debian or Ubuntu: sudo apt-get install python3-venv"; }
    fi
}

# A digest of everything a build reads, plus the build settings, so that any
# edit (or a different compiler or flags) triggers a reinstall.
source_digest() {
    "$py" - "$root" "$@" <<'PY'
import hashlib, os, sys
root, settings = sys.argv[1], sys.argv[2:]
digest = hashlib.sha256("\0".join(settings).encode())
paths = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE-MIT", "LICENSE-APACHE"]
for top in ("src", "python", "cmake"):
    for folder, dirs, files in os.walk(os.path.join(root, top)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        paths += sorted(os.path.relpath(os.path.join(folder, f), root) for f in files)
for path in paths:
    full = os.path.join(root, path)
    if os.path.isfile(full):
        digest.update(path.encode() + b"\0")
        with open(full, "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
print(digest.hexdigest())
PY
}

# The build tools, installed once into the environment (and CMake and Ninja,
# which the C++ stages take from there too).
ensure_build_tools() {
    ensure_venv
    local tools_stamp=$venv/.tamarind-build-tools
    [ "$(cat "$tools_stamp" 2>/dev/null)" = "${build_tools[*]}" ] && return 0
    say "Installing the build tools into the environment (${build_tools[*]})..."
    pip_quiet install -q "${build_tools[@]}" >"$logs/build-tools.log" 2>&1 ||
        { tail -n 20 "$logs/build-tools.log" >&2; die "installing the build tools failed (log: build/logs/build-tools.log)"; }
    printf '%s' "${build_tools[*]}" >"$tools_stamp"
}

# ensure_installed [EXTRAS]: the package from the current sources, with the
# optional dependencies EXTRAS (comma-separated, e.g. "test,lint") from
# pyproject.toml. Extra CMake settings come from TAMARIND_CMAKE_DEFINES (e.g.
# "TAMARIND_WERROR=ON"). The stamp holds the digest of what was built and the
# extras installed with it, so a run that needs fewer extras builds nothing.
ensure_installed() {
    local extras=${1:-}
    ensure_build_tools
    local stamp=$venv/.tamarind-sources
    local defines=() define
    for define in ${TAMARIND_CMAKE_DEFINES:-}; do defines+=("-Ccmake.define.$define"); done
    local digest
    digest=$(source_digest "cxx=${CXX:-}" "${defines[@]}")
    local installed_digest="" installed_extras=""
    [ -f "$stamp" ] && read -r installed_digest installed_extras <"$stamp" || true
    if [ "$installed_digest" = "$digest" ]; then
        local wanted missing=false
        for wanted in ${extras//,/ }; do
            [[ ",$installed_extras," == *",$wanted,"* ]] || missing=true
        done
        $missing || return 0
        say "Adding the '$extras' tools to the environment (log: build/logs/install.log)..."
    elif [ -n "$installed_digest" ]; then
        say "Sources or build settings changed: rebuilding tamarind (log: build/logs/install.log)..."
    else
        say "Building and installing tamarind into the environment: compiling the C++ core takes a few minutes the first time (log: build/logs/install.log)..."
    fi
    local target=$root
    [ -n "$extras" ] && target="$root[$extras]"
    rm -f "$stamp"
    if ! pip_quiet install --no-build-isolation "${defines[@]}" "$target" >"$logs/install.log" 2>&1; then
        tail -n 30 "$logs/install.log" >&2
        die "building tamarind failed (full log: build/logs/install.log)"
    fi
    printf '%s %s\n' "$digest" "$extras" >"$stamp"
}
