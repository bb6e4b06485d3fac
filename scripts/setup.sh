#!/usr/bin/env bash
# setup.sh [--example] -- prepare a fresh Debian 12 machine and build brenvale into build/.
#
#   1. installs the Debian packages the build needs (only those missing; as root, or
#      through sudo);
#   2. finds a CPython 3.14 with its headers: $BRENVALE_PYTHON, else python3.14 on PATH,
#      else an earlier private install, else provisions one (scripts/provision-python.sh);
#   3. configures and builds the engine, its tests and the extension module into build/.
#
# --example: afterwards runs scripts/example.py with the freshly built module.
# Env: BRENVALE_PYTHON (interpreter to use), BRENVALE_PYTHON_PREFIX (where to provision),
#      BRENVALE_BUILD_DIR (default build), BRENVALE_BUILD_TYPE (default Release),
#      BRENVALE_JOBS (parallel build jobs, default every core).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BRENVALE_BUILD_DIR:-$ROOT/build}
BUILD_TYPE=${BRENVALE_BUILD_TYPE:-Release}
RUN_EXAMPLE=0
for arg in "$@"; do
    case $arg in
        --example) RUN_EXAMPLE=1 ;;
        -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "setup.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
    esac
done

say() { echo "[setup] $*" >&2; }
die() { echo "[setup] error: $*" >&2; exit 1; }

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        return 1
    fi
}

# --- 1. Debian packages -------------------------------------------------------------------
PACKAGES=(build-essential cmake pkg-config libzstd-dev libdeflate-dev libfmt-dev
          libgtest-dev libgmock-dev debian-archive-keyring
          libbenchmark-dev libsqlite3-dev liblmdb-dev librocksdb-dev)  # the last four: bench/
install_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        say "not a Debian system: make sure a C++20 compiler, CMake >= 3.25, pkg-config, zstd, libdeflate, fmt and GoogleTest are installed"
        return 0
    fi
    local missing=() pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing Debian packages: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
        die "cannot run apt-get as root; install these packages first: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        </dev/null || die "apt-get install failed"
}

# --- 2. CPython 3.14 with headers ---------------------------------------------------------
# shellcheck source=scripts/find-python.sh
. "$ROOT/scripts/find-python.sh"

find_python() {
    if [ -n "${BRENVALE_PYTHON:-}" ]; then
        usable_python "$BRENVALE_PYTHON" || die "BRENVALE_PYTHON=$BRENVALE_PYTHON is not a CPython 3.14 with headers"
    fi
    existing_python && return
    # Provision a private one: into /opt as root (or through sudo), else under $HOME.
    local provision=$ROOT/scripts/provision-python.sh
    if [ -n "${BRENVALE_PYTHON_PREFIX:-}" ]; then
        bash "$provision" "$BRENVALE_PYTHON_PREFIX" | tail -n 1
    elif [ "$(id -u)" -eq 0 ]; then
        bash "$provision" /opt/cpython-3.14 | tail -n 1
    elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        sudo bash "$provision" /opt/cpython-3.14 | tail -n 1
    else
        bash "$provision" "$HOME/.local/opt/cpython-3.14" | tail -n 1
    fi
}

install_packages
PYTHON=$(find_python)
usable_python "$PYTHON" || die "no usable CPython 3.14 (got '$PYTHON')"
say "using $PYTHON"

# --- 3. Configure and build ---------------------------------------------------------------
# shellcheck source=scripts/jobs.sh
. "$ROOT/scripts/jobs.sh"
JOBS=$(brenvale_jobs) || exit 2
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" -DBRENVALE_PYTHON=ON \
    -DPython3_EXECUTABLE="$PYTHON" >&2
cmake --build "$BUILD_DIR" -j "$JOBS" >&2
say "built: $(ls "$BUILD_DIR"/python/brenvale*.so)"

if [ "$RUN_EXAMPLE" -eq 1 ]; then
    say "running scripts/example.py"
    PYTHONPATH="$BUILD_DIR/python${PYTHONPATH:+:$PYTHONPATH}" "$PYTHON" "$ROOT/scripts/example.py"
fi
