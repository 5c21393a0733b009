# Cross build for arm-linux-gnueabihf with Debian's cross toolchain and the target's multiarch
# libraries (dpkg --add-architecture; see scripts/cross.sh for the packages):
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_STRIP arm-linux-gnueabihf-strip CACHE FILEPATH "")

# Target libraries live under /usr/lib/arm-linux-gnueabihf (multiarch), not under a sysroot:
# a find root of /usr/arm-linux-gnueabihf alone hides OpenSSL and libcurl from the lookups.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests, tool and consumer run under qemu-user; no binfmt registration is needed.
find_program(DURL_QEMU qemu-arm-static qemu-arm)
if(DURL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DURL_QEMU})
endif()
