#!/bin/sh
# Source checks that need no build: formatting (clang-format, the project's .clang-format)
# and a ban of the unbounded C string calls in the library and the tool.
# usage: scripts/lint.sh [FILE...]   (default: every C/C++ source of the project)
set -eu
cd "$(dirname "$0")/.."

if [ "$#" -gt 0 ]; then
    files="$*"
else
    files=$(git ls-files -- 'include/*.h' 'transfer/*.cpp' 'transfer/*.h' 'certs/*.cpp' \
        'certs/*.h' 'tools/*.cpp' 'tools/*.h' 'tests/*.cpp' 'tests/*.c' 'tests/support/*.cpp' \
        'tests/support/*.h' 'tests/fuzz/support/*.h' 'tests/servers/*.cpp' 'bench/*.cpp' 'bench/*.h')
fi

status=0
# shellcheck disable=SC2086 # the file list is split on purpose
if ! clang-format --dry-run --Werror $files; then
    echo "lint: formatting differs; run clang-format -i on the files above" >&2
    status=1
fi

# Fixed-size records get their texts through bounded copies only.
banned='(^|[^A-Za-z0-9_])(strcpy|strcat|sprintf|vsprintf|gets)[[:space:]]*\('
if grep -nE "$banned" transfer/*.cpp transfer/*.h certs/*.cpp certs/*.h tools/*.cpp tools/*.h \
    2>/dev/null; then
    echo "lint: unbounded string call above; use snprintf or a bounded copy" >&2
    status=1
fi

[ "$status" -eq 0 ] && echo "lint ok"
exit "$status"
