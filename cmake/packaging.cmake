# What `cmake --install` puts where (under CMAKE_INSTALL_PREFIX): the program
# in bin/, its man page in share/man/man1/, the README in share/doc/qorvand/;
# and the Debian package that CPack builds from the same (cpack -G DEB, as
# scripts/package runs it).
include(GNUInstallDirs)

install(TARGETS qorvand RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT WIN32)
  # Compressed as Debian's policy wants it; man reads it so everywhere.
  find_program(QORVAND_GZIP gzip REQUIRED)
  set(man_page ${PROJECT_BINARY_DIR}/qorvand.1.gz)
  add_custom_command(
    OUTPUT ${man_page}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/qorvand.1 ${PROJECT_BINARY_DIR}/qorvand.1
    COMMAND ${QORVAND_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/qorvand.1
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/qorvand.1
    COMMENT "Compressing the man page"
    VERBATIM)
  add_custom_target(qorvand_man_page ALL DEPENDS ${man_page})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(QORVAND_PACKAGE_MAINTAINER "Seed 2aa3c02b maintainers <maintainers@users.noreply.c-seed-2aa3c02b.example>"
    CACHE STRING "The Debian package's maintainer: name <address>")

set(CPACK_PACKAGE_NAME qorvand)
set(CPACK_PACKAGE_CONTACT "${QORVAND_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP connection logger")
# One paragraph, its lines short enough for a package manager's display.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "qorvand listens on a port, opens its own connection to a target for\n"
  "every client, relays the bytes both ways unchanged and writes the\n"
  "conversation to a log as text lines, with the connection's events.\n"
  "It shows what a mail client and a mail server, an HTTP client, a Redis\n"
  "client or any other TCP protocol really say to each other, with no\n"
  "capture privileges and no configuration file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are what the program links dynamically, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
