# Shared part of the toolchain files: Debian's cross compilers for DURL_CROSS_TRIPLET and the
# target's multiarch libraries (dpkg --add-architecture; scripts/cross.sh installs them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${DURL_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${DURL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DURL_CROSS_TRIPLET}-g++)
set(CMAKE_STRIP ${DURL_CROSS_TRIPLET}-strip CACHE FILEPATH "")

# Target libraries live under /usr/lib/<triplet> (multiarch), not under a sysroot: a find
# root of /usr/<triplet> alone hides OpenSSL and libcurl from the lookups.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${DURL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests, the tool and the consumer project run under qemu-user; no binfmt registration needed.
find_program(DURL_QEMU NAMES qemu-${DURL_CROSS_QEMU}-static qemu-${DURL_CROSS_QEMU})
if(DURL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DURL_QEMU})
endif()
