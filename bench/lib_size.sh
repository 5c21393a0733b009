#!/usr/bin/env bash
# Size of the stripped shared library per target (Release build), against the limit of
# 160 KiB on every target and with the growth since the last release
# (bench/lib_size_baseline.txt). Exits 1 when a target is over the limit.
#   usage: bench/lib_size.sh [amd64|arm64|armhf ...]   (default: all three)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
limit=$((160 * 1024))
native=$(dpkg --print-architecture)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(amd64 arm64 armhf)
release=$(awk '$1 == "release" {print $2}' bench/lib_size_baseline.txt)

status=0
for arch in "${targets[@]}"; do
    toolchain=()
    strip="strip"
    case $arch in
        "$native") ;;
        arm64) toolchain=(--toolchain cmake/toolchains/aarch64-linux-gnu.cmake) strip=aarch64-linux-gnu-strip ;;
        armhf) toolchain=(--toolchain cmake/toolchains/arm-linux-gnueabihf.cmake) strip=arm-linux-gnueabihf-strip ;;
        *) echo "lib_size.sh: unknown target $arch" >&2; exit 2 ;;
    esac
    [ ${#toolchain[@]} -eq 0 ] || bash scripts/cross.sh --setup-only "$arch" >/dev/null
    build=build-size-$arch
    cmake -S . -B "$build" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DDURL_BUILD_TESTS=OFF -DDURL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" --target durl >/dev/null
    "$strip" --strip-unneeded -o "$build/libdurl.stripped" "$build/libdurl.so"
    size=$(stat -c %s "$build/libdurl.stripped")
    base=$(awk -v a="$arch" '$1 == a {print $2}' bench/lib_size_baseline.txt)
    verdict=PASS
    [ "$size" -le "$limit" ] || { verdict=MISS; status=1; }
    awk -v a="$arch" -v s="$size" -v b="$base" -v r="$release" -v l="$limit" -v v="$verdict" 'BEGIN {
        printf "libdurl.so stripped %-6s %7d B (%6.1f KiB)  since %s: %+6d B (%+5.1f%%)  <= %d KiB  %s\n",
               a, s, s / 1024, r, s - b, (s - b) * 100 / b, l / 1024, v }'
done
exit $status
