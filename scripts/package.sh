#!/usr/bin/env bash
# Builds the Debian packages libdurl5, libdurl-dev and durl for one target and checks them
# with lintian (no errors allowed). Packages land in out/packages/ARCH/.
#   usage: scripts/package.sh [amd64|arm64|armhf|all]   (default: this machine's)
# Cross targets need the packages scripts/cross.sh installs (it is run for them here).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
native=$(dpkg --print-architecture)
arch=${1:-$native}
if [ "$arch" = all ]; then
    for a in amd64 arm64 armhf; do bash "$0" "$a"; done
    exit 0
fi

toolchain=()
case $arch in
    "$native") bash scripts/setup.sh ;;
    arm64) toolchain=(--toolchain "$root/cmake/toolchains/aarch64-linux-gnu.cmake") ;;
    armhf) toolchain=(--toolchain "$root/cmake/toolchains/arm-linux-gnueabihf.cmake") ;;
    *) echo "package.sh: unknown target '$arch' (amd64, arm64, armhf or all)" >&2; exit 2 ;;
esac
[ ${#toolchain[@]} -eq 0 ] || bash scripts/cross.sh --setup-only "$arch"
if ! command -v lintian >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends lintian >/dev/null
fi

build=build-pkg-$arch
out=$root/out/packages/$arch
# Installed under /usr with the multiarch library directory (CMake picks it by itself only
# in native builds), and without the RPATH that lets the relocatable install tree find its
# library: Debian forbids it.
multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
cmake -S . -B "$build" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" -DCMAKE_SKIP_INSTALL_RPATH=ON \
    -DDURL_BUILD_TESTS=OFF -DDURL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"
rm -rf "$out"
# dpkg-shlibdeps reads the dependency information of the target's packages.
(cd "$build" && DEB_HOST_ARCH=$arch cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls -1 "$out"/*.deb
for deb in "$out"/*.deb; do
    echo "== $(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
done
# Errors fail the script; warnings are printed for the record.
lintian --fail-on error --suppress-tags bad-distribution-in-changes-file "$out"/*.deb
echo "package.sh: $arch packages built, lintian clean of errors"
