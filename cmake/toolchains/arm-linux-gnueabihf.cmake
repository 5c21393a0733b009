# Cross build for armhf (32-bit ARM, hard float) with Debian's cross toolchain:
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DURL_CROSS_TRIPLET arm-linux-gnueabihf)
set(DURL_CROSS_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
