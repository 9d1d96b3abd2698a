# What `cmake --install` puts where, and the packages CPack makes of it: a
# .deb for Linux, a .zip for Windows. The version comes from the one
# description of the version resource (app/version.cmake).
if(WIN32)
  # A zip to unpack anywhere: the programs and the README, all at its top.
  install(TARGETS kestrun nntpfetch RUNTIME DESTINATION .)
  # As a text file with Windows line ends, which any editor shows.
  file(READ ${CMAKE_SOURCE_DIR}/README.md _readme)
  string(REPLACE "\n" "\r\n" _readme "${_readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/package/README.txt "${_readme}")
  install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS kestrun nntpfetch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/man/kestrun.1 ${CMAKE_SOURCE_DIR}/man/nntpfetch.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VERSION ${KESTRUN_PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR Lumkarey)
set(CPACK_PACKAGE_CONTACT "Lumkarey <kestrun@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Posts a text file to a Usenet news server")
set(CPACK_PACKAGE_DESCRIPTION "Kestrun posts a text file as a Usenet article over NNTP and \
reports the outcome in one Polish line and its exit code; nntpfetch reads a group's overview \
or an article back.")
set(CPACK_PACKAGE_HOMEPAGE_URL ${KESTRUN_PRODUCT_URL})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kestrun-${KESTRUN_PRODUCT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION news)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Loaded at run time (TLS), so dpkg-shlibdeps cannot see it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0)")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)

# The manual pages render without warnings (cheap, so with the unit tests).
if(KESTRUN_TESTS AND NOT WIN32)
  add_test(NAME man_pages COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-man.sh)
  set_tests_properties(man_pages PROPERTIES LABELS unit)
endif()
