#!/usr/bin/env bash
# Sanitizer gate: builds the library, its tests and the fuzz corpus replay with AddressSanitizer
# and UndefinedBehaviorSanitizer and runs the whole suite with leak detection on; then builds
# the tests that run several threads (the library's stream workers included) with
# ThreadSanitizer and runs them. The first report of any kind, from any process (test
# binaries and the test servers alike), fails the run: every report is also written to a
# log directory, and a run that leaves one there fails even when every test passed.
#   DURL_SAN_STAGES  stages to run, default "asan tsan"
#   DURL_SAN_ROOT    directory of the two build trees, default build-sanitize beside the sources
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh

STAGES="${DURL_SAN_STAGES:-asan tsan}"
SAN_ROOT="${DURL_SAN_ROOT:-$ROOT/build-sanitize}"
# Test binaries that start threads themselves or through the library (streams, parallel
# handles, concurrent verification and key generation).
THREADED='^(stream_test|transfer_test|lifecycle_test|verify_test|issuance_test|request_building_test|stress_test)$'

# Reports go to files as well as to standard error, so a report from a child process whose
# exit status nobody checks (a test server) still fails the run.
reports_clean() {
    local dir=$1
    if compgen -G "$dir/*" >/dev/null; then
        echo "ci-sanitize: sanitizer reports:" >&2
        for f in "$dir"/*; do
            echo "---- $f" >&2
            cat "$f" >&2
        done
        return 1
    fi
}

stage() {
    local name=$1 sanitize=$2 filter=$3
    local build="$SAN_ROOT/$name" logs="$SAN_ROOT/$name-reports"
    local start=$SECONDS
    rm -rf "$logs"
    mkdir -p "$logs"
    echo "== ci-sanitize: $name ($sanitize)"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DDURL_SANITIZE=$sanitize" \
        -DDURL_BUILD_BENCH=OFF >/dev/null
    if [ -n "$filter" ]; then
        # Only the binaries the stage runs, the servers they start and the tool they call.
        # shellcheck disable=SC2046
        cmake --build "$build" --target durl_tool $(echo "$filter" | tr -d '^()$' | tr '|' ' ')
    else
        cmake --build "$build"
    fi
    local status=0
    (
        export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:log_path=$logs/asan"
        export LSAN_OPTIONS="report_objects=1"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp:log_path=$logs/tsan"
        if [ -n "$filter" ]; then
            ctest --test-dir "$build" -j2 --output-on-failure -R "$filter"
        else
            ctest --test-dir "$build" -j2 --output-on-failure
        fi
    ) || status=1
    reports_clean "$logs" || status=1
    echo "== ci-sanitize: $name took $((SECONDS - start)) s"
    return $status
}

status=0
for s in $STAGES; do
    case "$s" in
        asan) stage asan "address;undefined" "" || status=1 ;;
        tsan) stage tsan thread "$THREADED" || status=1 ;;
        *) echo "ci-sanitize: unknown stage $s" >&2; exit 2 ;;
    esac
done
[ $status -eq 0 ] && echo "ci-sanitize: no sanitizer report"
exit $status
