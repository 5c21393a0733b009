#!/usr/bin/env bash
# Cross-builds durl with its tests for the phone's processors and runs the whole ctest
# suite there: library, tool and tests are ARM binaries run under qemu-user
# (CMAKE_CROSSCOMPILING_EMULATOR, so no binfmt registration is needed and it works in
# containers); the test servers run natively (the C++ HTTP server is built for this machine
# in build-host, beside the Python FTP server and tftpd-hpa).
#
#   usage: scripts/cross.sh [--setup-only] arm64|armhf|all
#
# On a fresh Debian 12 machine (as root, or with passwordless sudo) it first adds the
# target architectures and installs the cross toolchain, qemu-user and the target's
# libcurl, OpenSSL, GoogleTest and cpp-httplib. Builds go to build-arm64 / build-armhf.
# --setup-only stops after the installation (scripts/package.sh uses it).
set -euo pipefail
cd "$(dirname "$0")/.."

setup_only=0
if [ "${1:-}" = --setup-only ]; then
    setup_only=1
    shift
fi
case ${1:-} in
    all) targets=(arm64 armhf) ;;
    arm64 | armhf) targets=("$1") ;;
    *) echo "usage: scripts/cross.sh [--setup-only] arm64|armhf|all" >&2; exit 2 ;;
esac

toolchain_of() {
    case $1 in
        arm64) echo cmake/toolchains/aarch64-linux-gnu.cmake ;;
        armhf) echo cmake/toolchains/arm-linux-gnueabihf.cmake ;;
    esac
}

# ---- packages: the native ones (compilers, test servers) and each target's
bash scripts/setup.sh
packages=(qemu-user-static)
# lld links the arm64 library without GNU ld's 64 KiB file padding (cmake/toolchains).
if [[ " ${targets[*]} " == *" arm64 "* ]]; then packages+=(lld); fi
for a in "${targets[@]}"; do
    packages+=("crossbuild-essential-$a" "libcurl4-openssl-dev:$a" "libssl-dev:$a"
        "libgtest-dev:$a" "libcpp-httplib-dev:$a")
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "cross: installing ${missing[*]}"
    SUDO=()
    if [ "$(id -u)" -ne 0 ]; then
        if sudo -n true 2>/dev/null; then SUDO=(sudo); else
            echo "cross: installing these packages needs root: ${missing[*]}" >&2
            exit 1
        fi
    fi
    for a in "${targets[@]}"; do
        dpkg --print-foreign-architectures | grep -qx "$a" || "${SUDO[@]}" dpkg --add-architecture "$a"
    done
    # Another apt run (CI neighbours, unattended upgrades) may hold the lock for a while.
    apt=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
    "${apt[@]}" update
    "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi
[ "$setup_only" -eq 0 ] || exit 0

# ---- the HTTP test server for the build machine: the servers run natively
start=$SECONDS
cmake -S . -B build-host -G Ninja -DDURL_BUILD_BENCH=OFF >/dev/null
cmake --build build-host --target durl_test_httpd
httpd=$(pwd)/build-host/tests/durl_test_httpd
echo "cross: native test server built in $((SECONDS - start)) s"

# ---- build and run each target's suite
status=0
for a in "${targets[@]}"; do
    build=build-$a
    start=$SECONDS
    cmake -S . -B "$build" -G Ninja --toolchain "$(pwd)/$(toolchain_of "$a")" \
        -DDURL_BUILD_BENCH=OFF -DDURL_TEST_HTTPD="$httpd" >/dev/null
    cmake --build "$build"
    built=$SECONDS
    ctest --test-dir "$build" -j2 --output-on-failure || status=1
    echo "cross: $a built in $((built - start)) s, suite ran in $((SECONDS - built)) s"
done
exit $status
