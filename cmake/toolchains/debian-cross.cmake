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

# GNU ld 2.40 aligns the end of the read-only-after-relocation area to the 64 KiB maximum page
# size on arm64 and fills the file up to that boundary with zeros: 57 KiB of padding in a
# 200 KiB library. lld keeps the segments aligned to 64 KiB in memory (the library still loads
# on kernels with 64 KiB pages) without padding the file. gcc finds a linker named ld.lld only
# in its own program directories, hence the link in the build tree.
if(DURL_CROSS_USE_LLD)
  find_program(DURL_LLD NAMES ld.lld)
  if(DURL_LLD)
    set(_durl_lld_dir ${CMAKE_BINARY_DIR}/lld-bin)
    file(MAKE_DIRECTORY ${_durl_lld_dir})
    file(CREATE_LINK ${DURL_LLD} ${_durl_lld_dir}/ld.lld SYMBOLIC)
    foreach(kind EXE SHARED MODULE)
      set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${_durl_lld_dir} -fuse-ld=lld")
    endforeach()
  else()
    message(WARNING "ld.lld not found: linking with GNU ld, which pads the arm64 library by up to 64 KiB")
  endif()
endif()
