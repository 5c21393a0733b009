# Cross build for arm64 with Debian's cross toolchain:
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DURL_CROSS_TRIPLET aarch64-linux-gnu)
set(DURL_CROSS_QEMU aarch64)
set(DURL_CROSS_USE_LLD ON)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
