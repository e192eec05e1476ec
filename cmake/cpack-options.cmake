# Read by cpack when it runs: the Debian packages need a build configured
# with -DCMAKE_INSTALL_PREFIX=/usr (which also gives the multiarch libdir).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_ZUB_CONFIGURED_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "the Debian packages need a build configured with -DCMAKE_INSTALL_PREFIX=/usr "
                      "(this one installs into ${CPACK_ZUB_CONFIGURED_PREFIX})")
endif()
