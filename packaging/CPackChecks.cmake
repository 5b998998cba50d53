# CPackChecks.cmake - read by cpack: a Debian package installs under /usr only.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "A Debian package installs under /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr "
                      "(this tree has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
