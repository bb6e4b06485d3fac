#!/usr/bin/env bash
# run.sh [N] | --smoke -- build the benchmarks in Release mode and print two markdown tables:
# the engine against SQLite, LMDB and RocksDB and the machine's physical limits, then the
# Python module against the standard sqlite3 (bench/python_bench.py, see the end).
#
#   N        records of the 100-byte workloads (default 1000000); the 4 KiB workload uses
#            N/5 records and the point reads N/10. The table goes to stdout and to
#            bench/results/latest.md.
#   --smoke  N = 10000, one run each, no dropping of the OS page cache (what CI runs): both
#            tables go to stdout and to <bench build dir>/bench-smoke.md (build-bench/
#            bench-smoke.md by default); fails when a benchmark reported an error.
#
# Env: BRENVALE_BENCH_BUILD_DIR (the bench build dir, default build-bench),
#      BRENVALE_BENCH_SCRATCH (where the stores are written, default the bench build dir;
#      removed afterwards), BRENVALE_BENCH_REPS (runs per benchmark of a full run,
#      default 3; the table shows the median and range),
#      BRENVALE_BENCH_DROP_CACHES (1: the cold rows drop the OS page cache, the default of
#      a full run as root; 0: they are left out, the default of the smoke run),
#      BRENVALE_JOBS (parallel build jobs, default every core).
# Needs the Debian packages libbenchmark-dev libsqlite3-dev liblmdb-dev librocksdb-dev
# (scripts/setup.sh installs them).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BRENVALE_BENCH_BUILD_DIR:-$ROOT/build-bench}
N=1000000
OUT=$ROOT/bench/results/latest.md
case ${1:-} in
    "") ;;
    --smoke) N=10000; OUT=$BUILD_DIR/bench-smoke.md ;;
    -h|--help) sed -n '2,/^set -e/{/^#/p}' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*) echo "run.sh: N must be a number or --smoke, got '$1'" >&2; exit 2 ;;
    *) N=$1 ;;
esac

say() { echo "[bench] $*" >&2; }

PY=$(command -v python3 || command -v python3.14 || true)
[ -n "$PY" ] || PY=/opt/cpython-3.14/usr/bin/python3.14
[ -x "$PY" ] || { echo "run.sh: no python3 to print the table" >&2; exit 1; }

# shellcheck source=scripts/jobs.sh
. "$ROOT/scripts/jobs.sh"
JOBS=$(brenvale_jobs) || exit 2
NPROC=$(nproc 2>/dev/null || echo 2)  # the machine's cores, for the table's notes
say "building $BUILD_DIR (Release, $JOBS jobs)"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBRENVALE_BENCH=ON -DBRENVALE_PYTHON=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target brenvale_bench >/dev/null

SCRATCH_PARENT=${BRENVALE_BENCH_SCRATCH:-$BUILD_DIR}
mkdir -p "$SCRATCH_PARENT"
SCRATCH=$(mktemp -d "$SCRATCH_PARENT/bench-scratch.XXXXXX")
JSON=$BUILD_DIR/bench-result.json
LOADS=$BUILD_DIR/bench-loadavg.txt
: > "$LOADS"
SAMPLER=
cleanup() {
    [ -z "$SAMPLER" ] || kill "$SAMPLER" 2>/dev/null || true
    rm -rf "$SCRATCH"
}
trap cleanup EXIT

# The full run shows its progress; the smoke run keeps it in a log, shown on failure. Output
# is appended to $LOG, never truncating it: when standard error is a file, that file keeps
# what came before.
LOG=/dev/stderr
if [ "$OUT" != "$ROOT/bench/results/latest.md" ]; then
    LOG=$BUILD_DIR/bench-run.log
    : > "$LOG"
fi
# Each benchmark runs its workload once; a full run repeats it and the table shows the median.
REPS=${BRENVALE_BENCH_REPS:-3}
case $REPS in ''|*[!0-9]*|0) echo "run.sh: BRENVALE_BENCH_REPS must be a positive number" >&2; exit 2 ;; esac
DROP=${BRENVALE_BENCH_DROP_CACHES:-1}
if [ "$LOG" != /dev/stderr ]; then
    REPS=1
    DROP=${BRENVALE_BENCH_DROP_CACHES:-0}
fi
FLAGS=()
[ "$DROP" = 1 ] || FLAGS+=(--no-drop-caches)
# The machine's load while the benchmarks run, every 10 s, for the table's notes.
if [ "$LOG" = /dev/stderr ]; then
    (while sleep 10; do cat /proc/loadavg; done >> "$LOADS") &
    SAMPLER=$!
fi
say "running N=$N, $REPS run(s) per benchmark"
# Every run goes to the JSON file (the table takes median and range); the console shows
# the aggregates only.
if ! "$BUILD_DIR/bench/brenvale_bench" --n="$N" --dir="$SCRATCH" "${FLAGS[@]}" \
        --benchmark_repetitions="$REPS" --benchmark_display_aggregates_only="$([ "$REPS" -gt 1 ] && echo true || echo false)" \
        --benchmark_out="$JSON" --benchmark_out_format=json >> "$LOG" 2>&1; then
    [ "$LOG" = /dev/stderr ] || cat "$LOG" >&2
    echo "run.sh: the benchmark program failed" >&2
    exit 1
fi

CPU=$(grep -m1 '^model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ *//')
mkdir -p "$(dirname "$OUT")"
rc=0
"$PY" "$ROOT/bench/table.py" "$JSON" --cpu "${CPU:-unknown CPU}" --nproc "$NPROC" --load "$LOADS" > "$OUT.tmp" || rc=$?
mv "$OUT.tmp" "$OUT"
cat "$OUT"
say "table written to $OUT"

# ---- The Python-level benchmark: the brenvale module against the standard sqlite3 ----
# N records, point reads N/10, BRENVALE_BENCH_REPS runs (one in the smoke run), with the
# module built into the same build dir; the table goes to bench/results/python-latest.md
# (smoke run: after the engine table in <bench build dir>/bench-smoke.md). Skipped without a CPython 3.14 with
# headers where scripts/find-python.sh looks (as scripts/setup.sh does, but without
# provisioning one).
# shellcheck source=scripts/find-python.sh
. "$ROOT/scripts/find-python.sh"
PY314=$(existing_python || true)
if [ -n "${BRENVALE_PYTHON:-}" ] && [ -z "$PY314" ]; then
    echo "run.sh: BRENVALE_PYTHON=$BRENVALE_PYTHON is not a CPython 3.14 with headers" >&2
    exit 1
fi
if [ -z "$PY314" ]; then
    say "no CPython 3.14 with headers (scripts/setup.sh provides one): the Python benchmark is skipped"
    exit "$rc"
fi
PY_OUT=$ROOT/bench/results/python-latest.md
[ "$OUT" = "$ROOT/bench/results/latest.md" ] || PY_OUT=$BUILD_DIR/bench-python-smoke.tmp
say "building the brenvale module in $BUILD_DIR (Release, $PY314)"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBRENVALE_BENCH=ON -DBRENVALE_PYTHON=ON \
    -DPython3_EXECUTABLE="$PY314" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target brenvale >/dev/null
say "running the Python benchmark, N=$N, $REPS run(s)"
py_rc=0
rm -f "$PY_OUT"
PYTHONPATH="$BUILD_DIR/python" "$PY314" -B "$ROOT/bench/python_bench.py" --n "$N" --reps "$REPS" \
    --dir "$SCRATCH" --cpu "${CPU:-unknown CPU}" --nproc "$NPROC" --out "$PY_OUT" > /dev/null 2>> "$LOG" || py_rc=$?
if [ ! -s "$PY_OUT" ]; then
    [ "$LOG" = /dev/stderr ] || cat "$LOG" >&2
    echo "run.sh: the Python benchmark failed" >&2
    exit 1
fi
echo
cat "$PY_OUT"
if [ "$PY_OUT" = "$BUILD_DIR/bench-python-smoke.tmp" ]; then
    { echo; cat "$PY_OUT"; } >> "$OUT"
    rm -f "$PY_OUT"
    say "Python table written to $OUT"
else
    say "Python table written to $PY_OUT"
fi
[ "$py_rc" -eq 0 ] || rc=$py_rc
exit "$rc"
