# Packaging.cmake - what "cmake --install" installs, and the Debian package
# that "cpack -G DEB" builds from it.
#
#   <prefix>/lib/velmora-spamassassin/   the program and the replay tool
#   <prefix>/bin/velmora-replay          a link to the replay tool
#   <etc>/velmora-spamassassin/          the settings and the whitelist
#   <var>/lib/velmora-spamassassin/      the working directory (links)
#   <prefix>/share/man/man{1,5,8}/       the manual pages
#   <prefix>/share/doc/velmora-spamassassin/  copyright, changelog
#
# The package is built from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr;
# its settings and whitelist in /etc/velmora-spamassassin/ are configuration
# files that an upgrade keeps.

set(VSA_PACKAGE_NAME velmora-spamassassin)
set(CMAKE_INSTALL_DOCDIR "share/doc/${VSA_PACKAGE_NAME}" CACHE PATH "Documentation")
include(GNUInstallDirs)
set(VSA_PROGRAM_DIR "lib/${VSA_PACKAGE_NAME}")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS VelmoraSpamAssassin RUNTIME DESTINATION ${VSA_PROGRAM_DIR})
if(TARGET velmora-replay)
  install(TARGETS velmora-replay RUNTIME DESTINATION ${VSA_PROGRAM_DIR})
  # The tool finds the program beside its real path, so the command is a link.
  file(CREATE_LINK "../${VSA_PROGRAM_DIR}/velmora-replay" "${CMAKE_BINARY_DIR}/velmora-replay-link" SYMBOLIC)
  install(FILES "${CMAKE_BINARY_DIR}/velmora-replay-link" DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME velmora-replay)
endif()

# Manual pages and the changelog, compressed as Debian wants them (no name
# or time stamp in the gzip header).
find_program(VSA_GZIP gzip REQUIRED)
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(VSA_COMPRESSED "")
foreach(page velmora-replay.1 VelmoraSpamAssassin.cfg.5 VelmoraSpamAssassin.8 changelog)
  if(page STREQUAL "changelog")
    set(source ${CMAKE_BINARY_DIR}/packaging/changelog)
  else()
    set(source ${CMAKE_SOURCE_DIR}/man/${page})
  endif()
  set(output ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
  add_custom_command(OUTPUT ${output} COMMAND ${VSA_GZIP} -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  list(APPEND VSA_COMPRESSED ${output})
  string(REGEX MATCH "[158]$" section "${page}")
  if(section)
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endif()
endforeach()
add_custom_target(vsa_packaging_files ALL DEPENDS ${VSA_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(CODE "set(VSA_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")\nset(VSA_PACKAGE_NAME \"${VSA_PACKAGE_NAME}\")")
install(SCRIPT cmake/InstallLayout.cmake)

# The Debian package.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles
     "/etc/${VSA_PACKAGE_NAME}/VelmoraSpamAssassin.cfg\n/etc/${VSA_PACKAGE_NAME}/whitelist.txt\n")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VSA_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "VelmoraSpamAssassin maintainers <maintainers@velmora.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail filter that rates messages with SpamAssassin's spamd")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "VelmoraSpamAssassin runs beside a mail server, which starts it as a child\n"
    "process and hands it every queued message.  It has spamd or rspamd (or a\n"
    "farm of both) rate the message and answers with verdict header lines, at\n"
    "once for whitelisted senders.\n"
    "It keeps daily statistics, mails reports and notices, writes Prometheus\n"
    "metrics for node_exporter, and checks its set-up with -check.")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "spamd | rspamd")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package installs what "cmake --install" would install into the configured
# prefix, which must be /usr for a Debian package (see packaging/CPackChecks.cmake).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/packaging/CPackChecks.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
include(CPack)
