# Installation layout and the Debian package (`make package`, CPack DEB):
# the executable in /usr/sbin, the web templates in
# /usr/share/parleon-server/httpdocs, the systemd unit and the logrotate
# snippet, /var/lib/parleon-server as the service's working folder and
# /var/log/parleon-server for its log, owned by the system user "parleon"
# that the package makes at its first install.
include(GNUInstallDirs)

install(TARGETS parleon-server RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/parleon-server/httpdocs)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/httpdocs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/parleon-server/httpdocs
        OPTIONAL)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/parleon-server.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/parleon-server.logrotate DESTINATION /etc/logrotate.d
        RENAME parleon-server)
install(DIRECTORY DESTINATION /var/lib/parleon-server)
install(DIRECTORY DESTINATION /var/log/parleon-server)

# The manual page and the changelog ship compressed as Debian wants them
# (gzip -9n: no name or time stamp, so the package builds reproducibly).
set(PARLEON_DOC_SOURCES ${CMAKE_SOURCE_DIR}/packaging/parleon-server.8 ${CMAKE_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PARLEON_DOC_SOURCES})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
foreach(doc IN LISTS PARLEON_DOC_SOURCES)
  get_filename_component(doc_name ${doc} NAME)
  execute_process(COMMAND gzip -9n -c ${doc} OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/${doc_name}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/packaging/parleon-server.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parleon-server)
# Each build has a package version of its own, the program's version and
# "+N", so that dpkg tells an older build from a reinstall of the same one.
# N is PARLEON_BUILD_NUMBER when given, else the commit count of the
# checkout, else 0.
set(PARLEON_BUILD_NUMBER "" CACHE STRING "Build number after the version in the package's version (+N)")
set(parleon_build_number "${PARLEON_BUILD_NUMBER}")
if("${parleon_build_number}" STREQUAL "")
  find_program(PARLEON_GIT git)
  if(PARLEON_GIT)
    execute_process(COMMAND ${PARLEON_GIT} rev-list --count HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE parleon_build_number OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE parleon_git_result ERROR_QUIET)
    if(NOT parleon_git_result EQUAL 0)
      set(parleon_build_number "")
    endif()
  endif()
endif()
if(NOT "${parleon_build_number}" MATCHES "^[0-9]+$")
  set(parleon_build_number 0)
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}+${parleon_build_number})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multi-tenant voice-chat server")
# Debian wraps nothing: each description line stays under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "One process hosts many virtual voice servers, each with its own\n\
UDP port, channels and accounts, managed through a TCP query port and a\n\
web interface.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Parleon Server developers <packaging@parleon.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm
    ${CMAKE_SOURCE_DIR}/packaging/conffiles)
include(CPack)
