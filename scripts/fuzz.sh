#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, library instrumented with address and undefined
# behaviour sanitizers, build directory build-fuzz) and fuzzes them, each for SECONDS under
# nice, starting from the seed corpora in tests/fuzz/corpus/. New inputs go to
# build-fuzz/work/<target>/, crashes to build-fuzz/artifacts/; the seeds are never written.
# Each target runs with a private /tmp where the system allows it, so the fixed web-ticket
# path and the scratch directories never meet another process's.
#
# usage: scripts/fuzz.sh [TARGET|all] [SECONDS]     (default: all, 60)
#   TARGET is a name like fuzz_cert_read or cert_read. Extra libFuzzer flags: DURL_FUZZ_FLAGS.
# Prints one summary line per target: executions, coverage (cov/ft) and the result.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DURL_FUZZ_BUILD:-$root/build-fuzz}
target=${1:-all}
seconds=${2:-60}

if ! command -v clang++-14 >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-14 libclang-rt-14-dev >/dev/null
    fi
    command -v clang++-14 >/dev/null 2>&1 || { echo "fuzz.sh: clang++-14 is missing" >&2; exit 2; }
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDURL_FUZZ=ON \
    -DDURL_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null ||
    exit 2

all=$(cd "$root/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
if [ "$target" = all ]; then
    targets=$all
else
    targets=fuzz_${target#fuzz_}
    echo "$all" | grep -qx "$targets" || { echo "fuzz.sh: no target $targets" >&2; exit 2; }
fi
# shellcheck disable=SC2086
nice cmake --build "$build" --target $targets || exit 2

private_tmp=()
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    private_tmp=(unshare -m --propagation private sh -c 'mount -t tmpfs none /tmp && exec "$@"' sh)
fi

status=0
mkdir -p "$build/artifacts"
for t in $targets; do
    name=${t#fuzz_}
    work="$build/work/$name"
    mkdir -p "$work"
    log="$build/$t.log"
    # shellcheck disable=SC2086
    nice "${private_tmp[@]}" "$build/tests/fuzz/$t" "$work" "$root/tests/fuzz/corpus/$name" \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" ${DURL_FUZZ_FLAGS:-} \
        >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    if [ $rc -eq 0 ]; then
        result=ok
    else
        result="FAILED (exit $rc, see $log)"
        status=1
    fi
    echo "$t: ${execs:-?} executions, ${cov:-no coverage line}, $result"
done
exit $status
