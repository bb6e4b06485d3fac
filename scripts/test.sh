#!/usr/bin/env bash
# test.sh -- set up and build (scripts/setup.sh), then run the whole test suite: the
# engine's GoogleTest tests and the Python module's tests, after a quick smoke run of the
# benchmarks (bench/run.sh --smoke). Exits non-zero on any failure.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BRENVALE_BUILD_DIR:-$ROOT/build}

# shellcheck source=scripts/jobs.sh
. "$ROOT/scripts/jobs.sh"
JOBS=$(brenvale_jobs) || exit 2

bash "$ROOT/scripts/setup.sh"
echo "[test] benchmark smoke run (bench/run.sh --smoke, N = 10000)" >&2
bash "$ROOT/bench/run.sh" --smoke
echo "[test] running the test suite in $BUILD_DIR" >&2
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"
