# What `cmake --install` puts where, and the packages CPack makes of it: a
# .deb for Linux, a .zip for Windows; both carry the licence (LICENSE). The version comes from the one
# description of the version resource (app/version.cmake).
if(WIN32)
  # A zip to unpack anywhere: the programs, the README and the licence, all
  # at its top.
  install(TARGETS kestrun nntpfetch echoserver RUNTIME DESTINATION .)
  # As text files with Windows line ends, which any editor shows.
  foreach(_text README.md LICENSE)
    get_filename_component(_name ${_text} NAME_WE)
    file(READ ${CMAKE_SOURCE_DIR}/${_text} _bytes)
    string(REPLACE "\n" "\r\n" _bytes "${_bytes}")
    file(WRITE ${CMAKE_BINARY_DIR}/package/${_name}.txt "${_bytes}")
    install(FILES ${CMAKE_BINARY_DIR}/package/${_name}.txt DESTINATION .)
  endforeach()
else()
  include(GNUInstallDirs)
  install(TARGETS kestrun nntpfetch echoserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # As Debian's rules (and lintian) want them: the manual pages and the
  # changelog compressed with gzip -9n, whose output carries no name or time
  # stamp, so the package's bytes do not change from build to build; the
  # licence as a machine-readable copyright file. Made when CMake runs, and
  # again whenever one of the sources changes.
  set(_doc ${CMAKE_BINARY_DIR}/package/doc)
  file(MAKE_DIRECTORY ${_doc})
  foreach(_source man/kestrun.1 man/nntpfetch.1 man/echoserver.1 cmake/debian/changelog)
    get_filename_component(_name ${_source} NAME)
    execute_process(COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${_source}
      OUTPUT_FILE ${_doc}/${_name}.gz COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${_source})
  endforeach()
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE _license)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${_license}")
  set(_holders "${CMAKE_MATCH_1}")
  string(FIND "${_license}" "Permission" _at)
  string(SUBSTRING "${_license}" ${_at} -1 _terms)
  string(STRIP "${_terms}" _terms)
  string(REPLACE "\n\n" "\n.\n" _terms "${_terms}")
  string(REPLACE "\n" "\n " _terms "${_terms}")
  file(WRITE ${_doc}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${KESTRUN_PRODUCT_NAME}
Source: ${KESTRUN_PRODUCT_URL}

Files: *
Copyright: ${_holders}
License: Expat
 ${_terms}
")
  install(FILES ${_doc}/kestrun.1.gz ${_doc}/nntpfetch.1.gz ${_doc}/echoserver.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${_doc}/copyright ${_doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrun)
  # Symbols bound at load time, so that the relocation tables can be made
  # read-only (full RELRO): two programs that talk to the network.
  target_link_options(kestrun PRIVATE -Wl,-z,now)
  target_link_options(nntpfetch PRIVATE -Wl,-z,now)
  target_link_options(echoserver PRIVATE -Wl,-z,now)
endif()

set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VERSION ${KESTRUN_PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR Lumkarey)
set(CPACK_PACKAGE_CONTACT "Lumkarey <kestrun@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Posts a text file to a Usenet news server")
# Lines of at most 80 characters, as Debian's control files want them; an
# empty line starts a paragraph.
set(CPACK_PACKAGE_DESCRIPTION "\
Kestrun posts a text file as one Usenet article over NNTP, in clear, after
STARTTLS or over NNTPS, directly or through a SOCKS 4, 4A or 5 proxy, and
reports the outcome in one Polish line and its exit status. Header values
outside ASCII go out as RFC 2047 encoded-words; when the server asks for a
login, it is taken from the netrc file.

The package also holds nntpfetch, a small reader that writes a group's
overview or an article to standard output, and echoserver, a TCP echo server,
both examples of the components Kestrun is built on.")
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
