# Cross build for aarch64-linux-gnu with Debian's cross toolchain and the target's multiarch
# libraries (dpkg --add-architecture; see scripts/cross.sh for the packages):
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")

# Target libraries live under /usr/lib/aarch64-linux-gnu (multiarch), not under a sysroot:
# a find root of /usr/aarch64-linux-gnu alone hides OpenSSL and libcurl from the lookups.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests, tool and consumer run under qemu-user; no binfmt registration is needed.
find_program(DURL_QEMU qemu-aarch64-static qemu-aarch64)
if(DURL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DURL_QEMU})
endif()
