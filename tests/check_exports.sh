#!/bin/sh
# The shared library exports exactly its C API: every exported symbol carries the durl_ or
# dl_ prefix, every function the public headers declare is exported, and nothing is
# exported that the headers do not declare.
# usage: check_exports.sh path/to/libdurl.so path/to/include
set -eu
lib=$1
inc=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u >"$tmp/exported"
grep -h 'DURL_EXPORT' "$inc"/*.h | grep -v '^ *#' |
    sed -nE 's/^[^(]*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*) *\(.*/\1/p' | sort -u >"$tmp/declared"

status=0
if grep -Ev '^(durl_|dl_)' "$tmp/exported" >"$tmp/foreign"; then
    echo "exported without the durl_/dl_ prefix:"; sed 's/^/  /' "$tmp/foreign"; status=1
fi
if comm -23 "$tmp/declared" "$tmp/exported" | grep . >"$tmp/missing"; then
    echo "declared in $inc but not exported:"; sed 's/^/  /' "$tmp/missing"; status=1
fi
if comm -13 "$tmp/declared" "$tmp/exported" | grep . >"$tmp/extra"; then
    echo "exported but not declared in $inc:"; sed 's/^/  /' "$tmp/extra"; status=1
fi
[ "$status" -eq 0 ] && echo "exports ok: $(wc -l <"$tmp/exported") functions"
exit "$status"
