#!/usr/bin/env bash
# Sets up the machine, builds durl with its tests and runs every test.
#   DURL_BUILD_DIR   build directory (default: build)
#   DURL_CMAKE_ARGS  extra configure arguments, e.g. "-DDURL_SANITIZE=address;undefined"
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

BUILD="${DURL_BUILD_DIR:-build}"
read -r -a extra <<< "${DURL_CMAKE_ARGS:-}"
cmake -S . -B "$BUILD" -G Ninja "${extra[@]}"
cmake --build "$BUILD"
ctest --test-dir "$BUILD" -j2 --output-on-failure
