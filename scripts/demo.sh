#!/usr/bin/env bash
# The main job on a fresh machine: set up, build the library and the durl tool, and walk
# through what it does. Each section is one function, listed in SECTIONS; add new ones there.
#   DURL_BUILD_DIR  build directory (default: build)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
export DURL_BUILD_DIR="${DURL_BUILD_DIR:-$ROOT/build}"
BUILD="$DURL_BUILD_DIR"
DURL="$BUILD/durl"

section() { printf '\n==== %s ====\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

build() {
    section "setup and build"
    bash scripts/setup.sh
    cmake -S . -B "$BUILD" -G Ninja > /dev/null
    cmake --build "$BUILD" --target durl_tool
}

show_version() {
    section "version"
    run "$DURL" --version
}

show_settings() {
    section "default settings of a handle"
    run "$DURL" dump
}

SECTIONS=(build show_version show_settings)

for s in "${SECTIONS[@]}"; do
    "$s"
done
echo
echo "demo: done"
