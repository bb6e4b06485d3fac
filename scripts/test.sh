#!/usr/bin/env bash
# test.sh -- set up and build (scripts/setup.sh), then run the whole test suite: the
# engine's GoogleTest tests and the Python module's tests, after a quick smoke run of the
# benchmarks (bench/run.sh --smoke), whose two tables (engine and Python) go to
# build-bench/bench-smoke.md.
# The last line says whether the suite passed. Exits non-zero on any failure.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BRENVALE_BUILD_DIR:-$ROOT/build}

# shellcheck source=scripts/jobs.sh
. "$ROOT/scripts/jobs.sh"
JOBS=$(brenvale_jobs) || exit 2

bash "$ROOT/scripts/setup.sh"

# The smoke run keeps its tables in its own file and its progress in a log; its output is
# shown only when it fails.
TABLES=${BRENVALE_BENCH_BUILD_DIR:-$ROOT/build-bench}/bench-smoke.md
BENCH_LOG=$BUILD_DIR/bench-smoke-output.log
echo "[test] benchmark smoke run (bench/run.sh --smoke, N = 10000)" >&2
if ! bash "$ROOT/bench/run.sh" --smoke > /dev/null 2> "$BENCH_LOG"; then
    cat "$BENCH_LOG" >&2
    echo "[test] FAILED: the benchmark smoke run (its output is above and in $BENCH_LOG)" >&2
    exit 1
fi
echo "[test] benchmark smoke tables written to $TABLES" >&2

echo "[test] running the test suite in $BUILD_DIR" >&2
if ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"; then
    echo "[test] passed: the whole test suite"
else
    echo "[test] FAILED: the test suite (the failing tests are listed above)"
    exit 1
fi
