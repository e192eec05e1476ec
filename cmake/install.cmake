# Install rules and packages: the shared library with its SONAME, the one
# public header, zub32.pc, the CMake package zub32::zub32, the man pages, and
# the Debian packages that CPack makes of them (libzub32-1 and libzub32-dev).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The version of the installed library and its packages.  It counts releases
# of this library's binary interface: its major number is the SONAME's and
# changes only when a program linked against libzub32.so.1 would break.  It is
# not the version the library reports through zubGetInteger(ch,
# ZUB_GET_VERSION) (2.3.0, PROJECT_VERSION), which applications written for
# the interface check and which stays as it is.
set(ZUB_LIB_VERSION 1.0.0)
set(ZUB_SOVERSION 1)

set_target_properties(zub32 PROPERTIES
  VERSION ${ZUB_LIB_VERSION}
  SOVERSION ${ZUB_SOVERSION}
  PUBLIC_HEADER ${CMAKE_SOURCE_DIR}/include/zub32.h)
target_include_directories(zub32 INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS zub32 EXPORT zub32Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(ZUB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zub32)
install(EXPORT zub32Targets NAMESPACE zub32:: DESTINATION ${ZUB_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zub32Config.cmake.in
  ${CMAKE_BINARY_DIR}/zub32Config.cmake INSTALL_DESTINATION ${ZUB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zub32ConfigVersion.cmake
  VERSION ${ZUB_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zub32Config.cmake ${CMAKE_BINARY_DIR}/zub32ConfigVersion.cmake
  DESTINATION ${ZUB_CMAKE_DIR} COMPONENT dev)

# pkg-config: written at install time, so that the prefix in it is the one
# installed into (cmake --install --prefix DIR, or /usr inside the packages).
install(CODE "
  set(ZUB_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(ZUB_LIB_VERSION ${ZUB_LIB_VERSION})
  set(CMAKE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/zub32.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/zub32.pc @ONLY)
  file(INSTALL ${CMAKE_BINARY_DIR}/pkgconfig/zub32.pc
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)

# Section 3 (the C interface) goes with the header; zub.1 goes with zub (cli/).
file(GLOB ZUB_MAN3 CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.3)
install(FILES ${ZUB_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

# Debian packages: cpack -G DEB in the build folder makes
# libzub32-1_<version>_<arch>.deb, libzub32-dev_<version>_<arch>.deb and
# zub_<version>_<arch>.deb (the command-line client).
set(CPACK_PACKAGE_NAME libzub32)
set(CPACK_PACKAGE_VERSION ${ZUB_LIB_VERSION})
set(CPACK_PACKAGE_VENDOR "ZUB32")
set(CPACK_PACKAGE_CONTACT "ZUB32 developers <zub32@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP client library with a plain C API")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev zub)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzub32-${ZUB_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# ldconfig runs through dpkg's trigger when the library comes and goes.
# CPack also writes postinst/postrm scripts that call it, and a postrm keeps
# the package in dpkg's "rc" state after apt-get remove; deb-repack.cmake
# takes the scripts out again, so that remove leaves nothing behind.
file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-repack.cmake)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzub32-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libzub32-${ZUB_SOVERSION} (= ${ZUB_LIB_VERSION})")
set(CPACK_DEBIAN_ZUB_PACKAGE_NAME zub)
set(CPACK_DEBIAN_ZUB_PACKAGE_SECTION net)
# dpkg-shlibdeps would look for libzub32.so.1 on this machine, not in the package beside it.
set(CPACK_DEBIAN_ZUB_PACKAGE_DEPENDS "libzub32-${ZUB_SOVERSION} (= ${ZUB_LIB_VERSION}), libc6 (>= 2.34)")
set(CPACK_COMPONENT_ZUB_DESCRIPTION "command-line FTP client on the ZUB32 library, many transfers from one thread")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "FTP client library with a plain C API (shared library)")
set(CPACK_COMPONENT_DEV_DESCRIPTION "FTP client library with a plain C API (header, pkg-config and CMake files, man pages)")
# Debian packages belong in /usr: a build configured for another prefix is
# refused rather than packaged with paths that dpkg would scatter.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)
set(CPACK_ZUB_CONFIGURED_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
