#!/bin/sh
# The consumer project builds against durl as shipped and runs, once through the CMake
# package and once through pkg-config; the shipped tool starts.
#
#   check.sh install BUILD_DIR [TOOLCHAIN_FILE] [EMULATOR]
#       installs BUILD_DIR into a scratch prefix (cmake --install) and checks that tree,
#       for the build's own target (a cross build passes its toolchain file and emulator).
#   check.sh packages BUILD_DIR
#       builds the Debian packages of BUILD_DIR (native), unpacks them with dpkg -x into a
#       scratch root and checks that tree, and the packages' names, SONAME and Depends.
set -eu
mode=$1
build=$(cd "$2" && pwd)
toolchain=${3:-}
emulator=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "check.sh: $*" >&2; exit 1; }

if [ "$mode" = install ]; then
    prefix=$scratch/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
elif [ "$mode" = packages ]; then
    (cd "$build" && cpack -G DEB -B "$scratch/debs" >/dev/null) || fail "cpack failed"
    for p in libdurl5 libdurl-dev durl; do
        deb=$(find "$scratch/debs" -maxdepth 1 -name "${p}_*.deb" | head -n 1)
        [ -n "$deb" ] || fail "no package $p"
        dpkg -x "$deb" "$scratch/root"
        dpkg-deb -f "$deb" Depends >"$scratch/$p.depends"
    done
    for d in libcurl4 libssl3; do
        grep -q "$d" "$scratch/libdurl5.depends" ||
            fail "libdurl5 Depends lacks $d: $(cat "$scratch/libdurl5.depends")"
    done
    grep -q '^libdurl5 (= ' "$scratch/libdurl-dev.depends" || fail "libdurl-dev must depend on libdurl5"
    grep -q 'libdurl5 (= ' "$scratch/durl.depends" || fail "durl must depend on libdurl5"
    prefix=$scratch/root/usr
else
    fail "unknown mode $mode"
fi

pc=$(find "$prefix" -name durl.pc | head -n 1)
[ -n "$pc" ] || fail "durl.pc missing"
libdir=$(dirname "$(dirname "$pc")")
for f in "$prefix/include/durl.h" "$prefix/include/dl_ca.h" "$libdir/cmake/durl/durlConfig.cmake" \
    "$libdir/cmake/durl/durlConfigVersion.cmake" "$libdir/libdurl.so" "$libdir/libdurl.so.5" \
    "$prefix/bin/durl"; do
    [ -e "$f" ] || fail "missing from the tree: $f"
done
if [ "$mode" = packages ]; then
    [ -e "$prefix/share/man/man1/durl.1.gz" ] || fail "manual page missing"
    soname=$(readelf -d "$libdir/libdurl.so.5" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
    [ "$soname" = libdurl.so.5 ] || fail "SONAME is '$soname'"
fi

# The tool from the tree, found through the library path alone (packages carry no RPATH).
LD_LIBRARY_PATH=$libdir $emulator "$prefix/bin/durl" --version
LD_LIBRARY_PATH=$libdir $emulator "$prefix/bin/durl" dump | grep -q '^user_agent=' ||
    fail "durl dump printed no settings"

for how in cmake-package pkg-config; do
    out=$scratch/consumer-$how
    set -- -DCMAKE_PREFIX_PATH="$prefix"
    [ "$how" = pkg-config ] && set -- "$@" -DUSE_PKG_CONFIG=ON
    [ -n "$toolchain" ] && set -- "$@" --toolchain "$toolchain"
    cmake -S "$here" -B "$out" "$@" >"$out.log" 2>&1 || { cat "$out.log"; fail "$how: configure failed"; }
    cmake --build "$out" >>"$out.log" 2>&1 || { cat "$out.log"; fail "$how: build failed"; }
    LD_LIBRARY_PATH=$libdir $emulator "$out/consumer" || fail "$how: consumer failed"
done
echo "consumer ok: $mode"
