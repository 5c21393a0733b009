#!/usr/bin/env bash
# Installs everything that building durl, its tests and its test servers needs, from the
# Debian 12 archive. Idempotent: when every package is already installed it only says so,
# so it is cheap to call from the other scripts on a prepared machine.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config git   # toolchain
    libcurl4-openssl-dev libssl-dev openssl            # the library's dependencies
    ca-certificates curl                               # default trust store, manual checks
    libgtest-dev libgmock-dev libbenchmark-dev         # tests and benchmarks
    libcpp-httplib-dev                                 # the HTTP/HTTPS test server
    python3 python3-pyftpdlib python3-openssl          # the FTP/FTPS test server
    tftpd-hpa                                          # the TFTP test server
    valgrind clang-format                              # memory and format gates
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all ${#PACKAGES[@]} packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        SUDO=(sudo)
    else
        echo "setup: these packages are missing and installing them needs root:" >&2
        echo "  ${missing[*]}" >&2
        echo "run: sudo bash scripts/setup.sh" >&2
        exit 1
    fi
fi

export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: done"
