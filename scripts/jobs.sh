# jobs.sh -- sourced by scripts/setup.sh, scripts/test.sh and bench/run.sh: how many jobs a
# build (and the test run) may use.

# brenvale_jobs: prints $BRENVALE_JOBS when it is set (a positive number), else the
# machine's core count; fails with a message for any other value.
brenvale_jobs() {
    local jobs=${BRENVALE_JOBS:-}
    if [ -z "$jobs" ]; then
        nproc 2>/dev/null || echo 2
        return 0
    fi
    case $jobs in
        *[!0-9]*|0*) echo "BRENVALE_JOBS must be a positive number, got '$jobs'" >&2; return 1 ;;
    esac
    echo "$jobs"
}
