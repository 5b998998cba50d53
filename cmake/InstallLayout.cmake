# InstallLayout.cmake - run by "cmake --install" (and by cpack): the settings
# as configuration files and the working directory that links to them.
#
# The program's working directory is the directory of its program path, so
# the host runs it through a link in <var>/lib/velmora-spamassassin/, where it
# also writes its statistics dump and finds hup.sig.  That directory links to
# the settings and the whitelist in <etc>/velmora-spamassassin/.  <etc> and
# <var> follow the prefix given at install time as GNUInstallDirs maps it:
# /usr gives /etc and /var, /opt/<name> gives /etc/opt/<name> and
# /var/opt/<name>, any other prefix <prefix>/etc and <prefix>/var.
# Settings that exist already are kept: an administrator's edits survive a
# second install.  Needs VSA_SOURCE_DIR and VSA_PACKAGE_NAME.

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(etc "/etc")
  set(var "/var")
elseif(prefix MATCHES "^/opt/")
  string(REGEX REPLACE "^/opt/" "" rest "${prefix}")
  set(etc "/etc/opt/${rest}")
  set(var "/var/opt/${rest}")
else()
  set(etc "${prefix}/etc")
  set(var "${prefix}/var")
endif()
set(confdir "${etc}/${VSA_PACKAGE_NAME}")
set(workdir "${var}/lib/${VSA_PACKAGE_NAME}")
set(program "${prefix}/lib/${VSA_PACKAGE_NAME}/VelmoraSpamAssassin")

foreach(name VelmoraSpamAssassin.cfg whitelist.txt)
  if(EXISTS "$ENV{DESTDIR}${confdir}/${name}")
    message(STATUS "Keeping: $ENV{DESTDIR}${confdir}/${name}")
  else()
    file(INSTALL DESTINATION "${confdir}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "${VSA_SOURCE_DIR}/examples/${name}")
  endif()
endforeach()

file(MAKE_DIRECTORY "$ENV{DESTDIR}${workdir}")
foreach(link "VelmoraSpamAssassin=${program}"
             "VelmoraSpamAssassin.cfg=${confdir}/VelmoraSpamAssassin.cfg"
             "whitelist.txt=${confdir}/whitelist.txt")
  string(REPLACE "=" ";" pair "${link}")
  list(GET pair 0 name)
  list(GET pair 1 target)
  message(STATUS "Installing: $ENV{DESTDIR}${workdir}/${name} -> ${target}")
  file(REMOVE "$ENV{DESTDIR}${workdir}/${name}")
  file(CREATE_LINK "${target}" "$ENV{DESTDIR}${workdir}/${name}" SYMBOLIC)
endforeach()
