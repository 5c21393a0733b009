#!/bin/sh
# Builds the library in Release mode and runs every transfer benchmark against a private
# nginx on loopback (each benchmark starts and stops its own). Prints each benchmark's
# figures and ratios; exits non-zero when a target was missed or a benchmark could not run.
#
# usage: scripts/bench.sh [BUILD_DIR]        (default build-bench beside the sources)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}

bash "$root/scripts/setup.sh" || exit 2
# The reference figures were taken against nginx; only the benchmarks need it.
if ! command -v nginx >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nginx >/dev/null
fi
command -v nginx >/dev/null 2>&1 || { echo "bench.sh: nginx is not installed (apt-get install nginx)" >&2; exit 2; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDURL_BUILD_BENCH=ON >/dev/null || exit 2
# Only the benchmarks (and what they link): a broken test elsewhere must not stop them.
targets=$(for src in "$root"/bench/*_bench.cpp; do basename "$src" .cpp; done)
# shellcheck disable=SC2086
cmake --build "$build" --target $targets || exit 2

status=0
for name in $targets; do
    echo "== $name"
    "$build/bench/$name" || status=1
    echo
done
echo "== library size per target"
bash "$root/bench/lib_size.sh" || status=1
echo
[ $status -eq 0 ] && echo "bench.sh: every target met" || echo "bench.sh: some target missed (see MISS above)"
exit $status
