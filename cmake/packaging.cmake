# Installation (a relocatable tree with a CMake package and durl.pc) and the Debian packages
# built from it by CPack: libdurl5 (the shared library), libdurl-dev (headers, the
# unversioned link, pkg-config and CMake files) and durl (the tool and its manual page).
# scripts/package.sh builds the packages for each target.
include(CMakePackageConfigHelpers)

set(DURL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/durl)
install(TARGETS durl EXPORT durlTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(TARGETS durl_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES include/durl.h include/dl_ca.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/durl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
install(EXPORT durlTargets NAMESPACE durl:: DESTINATION ${DURL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/durlConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/durlConfig.cmake
                              INSTALL_DESTINATION ${DURL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/durlConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/durlConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/durlConfigVersion.cmake
        DESTINATION ${DURL_CMAKE_DIR} COMPONENT dev)

# Debian wants manual pages and changelogs compressed reproducibly (gzip -n: no timestamp).
set(DURL_GZ ${CMAKE_CURRENT_BINARY_DIR}/gz)
foreach(doc durl.1 changelog)
  add_custom_command(OUTPUT ${DURL_GZ}/${doc}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${DURL_GZ}
                     COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/doc/${doc} > ${DURL_GZ}/${doc}.gz
                     DEPENDS doc/${doc})
endforeach()
add_custom_target(durl_docs ALL DEPENDS ${DURL_GZ}/durl.1.gz ${DURL_GZ}/changelog.gz)
install(FILES ${DURL_GZ}/durl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

set(DURL_DEB_NAMES lib libdurl${PROJECT_VERSION_MAJOR} dev libdurl-dev tool durl)
foreach(component IN ITEMS lib dev tool)
  list(FIND DURL_DEB_NAMES ${component} i)
  math(EXPR i "${i} + 1")
  list(GET DURL_DEB_NAMES ${i} name)
  string(TOUPPER ${component} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${name})
  install(FILES doc/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}
          COMPONENT ${component})
  install(FILES ${DURL_GZ}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}
          RENAME changelog.Debian.gz COMPONENT ${component})
endforeach()

# Debian's name for the target processor.
set(DURL_DEB_ARCH_amd64 x86_64 AMD64)
set(DURL_DEB_ARCH_arm64 aarch64 arm64)
set(DURL_DEB_ARCH_armhf arm armv7l armhf)
set(DURL_DEB_ARCH "")
foreach(deb IN ITEMS amd64 arm64 armhf)
  if(CMAKE_SYSTEM_PROCESSOR IN_LIST DURL_DEB_ARCH_${deb})
    set(DURL_DEB_ARCH ${deb})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME durl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "durl maintainers <maintainers@users.noreply.c-seed-d5d3f0ef.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file transfer and certificate management for devices")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DURL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(DURL_DEB_VERSION "${PROJECT_VERSION}-1")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
# The shlibs file names libdurl5 for whatever links the library; the dynamic linker's cache
# is refreshed by a trigger rather than by maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_ADD_LDCONFIG_CALL OFF)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/triggers)
string(CONCAT CPACK_DEBIAN_LIB_DESCRIPTION
    "durl shared library: file transfer and certificate management\n"
    "Transfers over HTTP, HTTPS, FTP, FTPS and TFTP on libcurl, and the X.509\n"
    "certificate stores those transfers trust and present on OpenSSL, behind a C\n"
    "interface.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libdurl${PROJECT_VERSION_MAJOR} (= ${DURL_DEB_VERSION}), libcurl4-openssl-dev, libssl-dev")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
    "durl development files\n"
    "Headers, the link library, pkg-config file (durl.pc) and CMake package\n"
    "(durl::durl) for building applications against the durl library.")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
# The tool needs only the library and the C++ runtime; the library's own dependencies come
# from dpkg-shlibdeps.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
    "libdurl${PROJECT_VERSION_MAJOR} (= ${DURL_DEB_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
string(CONCAT CPACK_DEBIAN_TOOL_DESCRIPTION
    "command-line tool of the durl library\n"
    "Downloads, uploads and streams over HTTP, HTTPS, FTP, FTPS and TFTP, and\n"
    "manages the trusted CA store and the device certificate, for scripts on the\n"
    "device.")
include(CPack)
