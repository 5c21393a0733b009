#!/bin/sh
# Builds the library in Release mode and runs every benchmark against a private nginx on
# loopback (each benchmark starts and stops its own). Each benchmark prints its own figures;
# at the end one table of every figure (ratio, target, met or missed) is printed and written
# to bench/RESULTS.md together with the machine it ran on. Exits non-zero when a target was
# missed or a benchmark could not run.
#
# More rows: a benchmark binary named bench/*_bench.cpp adds its rows through
# bench::Verdicts; a figure measured by this script itself goes through add_row.
#
# usage: scripts/bench.sh [BUILD_DIR]        (default build-bench beside the sources)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
results=$root/bench/RESULTS.md

bash "$root/scripts/setup.sh" || exit 2
# The reference figures were taken against nginx; only the benchmarks need it.
if ! command -v nginx >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    for attempt in 1 2 3 4 5; do  # another apt-get may hold the dpkg lock for a while
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nginx \
            >/dev/null && break
        sleep 10
    done
fi
command -v nginx >/dev/null 2>&1 || { echo "bench.sh: nginx is not installed (apt-get install nginx)" >&2; exit 2; }
command -v curl >/dev/null 2>&1 || { echo "bench.sh: curl is not installed (apt-get install curl)" >&2; exit 2; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURL_BUILD_BENCH=ON >/dev/null || exit 2
# Only the benchmarks (and what they link, and the tool they run): a broken test elsewhere
# must not stop them.
targets=$(for src in "$root"/bench/*_bench.cpp; do basename "$src" .cpp; done)
# shellcheck disable=SC2086
cmake --build "$build" --target $targets durl_tool || exit 2

table=$(mktemp)
trap 'rm -f "$table"' EXIT
# add_row FIGURE VALUES RATIO TARGET met|missed  -- one row of the table
add_row() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$table"; }

status=0
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for name in $targets; do
    echo "== $name"
    DURL_BENCH_TABLE=$table "$build/bench/$name" || status=1
    echo
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
grep -q "	missed$" "$table" && status=1

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
    echo "# Benchmark results"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo
    echo "Machine: $cpu, $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM;"
    echo "$(uname -sr); $(curl --version | head -n 1 | cut -d' ' -f1-2), $(openssl version | cut -d' ' -f1-2), $(nginx -v 2>&1 | sed 's/.*: //')."
    echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after."
    echo
    echo "Ratios are medians of paired runs (library against its reference in the same run);"
    echo "above 1 the library is faster, except where the target reads <=."
    echo
    echo "| figure | values | ratio | target | result |"
    echo "|---|---|---|---|---|"
    awk -F '\t' '{ printf "| %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5 }' "$table"
} >"$results"

echo "== one table (also in $results)"
awk -F '\t' '{ printf "%-56s %-28s %7s  %-8s %s\n", $1, $2, $3, $4, $5 }' "$table"
echo "== library size per target"
bash "$root/bench/lib_size.sh" || status=1
echo
[ $status -eq 0 ] && echo "bench.sh: every target met" || echo "bench.sh: some target missed (see MISS above)"
exit $status
