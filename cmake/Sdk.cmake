# The components as a library for programs of other people: the public
# headers (cmake/public-headers.txt) under include/kestrun/, the static
# libraries, a CMake package (find_package(Kestrun), targets Kestrun::socket,
# Kestrun::nntp, ...) and kestrun.pc for pkg-config. All of it is the "dev"
# component, left out of a plain `cmake --install` (which stays the programs,
# their pages and the licence):
#
#   cmake --install build/linux --component dev --prefix /some/where
#
# The Windows build installs the same as an SDK folder for a mingw user;
# CPackDevConfig.cmake (below) packs it as kestrun-dev_*.deb or
# kestrun-sdk-*-win32.zip.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

# Library targets of the tree, the names they are exported under (file
# libkestrun-<name>.a, target Kestrun::<name>), in the order a linker wants
# them: each before the ones it uses.
set(_sdk_targets host_access host nntp nntp_text net netproto rtl platform)
set(_sdk_names access host nntp nntp-text socket netproto rtl platform)

if(WIN32)
  set(_sdk_libdir lib)
elseif(CMAKE_LIBRARY_ARCHITECTURE)
  # Debian's multiarch folder, so that a cross pkg-config finds kestrun.pc.
  set(_sdk_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(_sdk_libdir ${CMAKE_INSTALL_LIBDIR})
endif()
set(_sdk_includedir include/kestrun)
set(_sdk_cmakedir ${_sdk_libdir}/cmake/Kestrun)
set(_sdk_pcdir ${_sdk_libdir}/pkgconfig)

set(_sdk_libs "")
foreach(_target _name IN ZIP_LISTS _sdk_targets _sdk_names)
  set_target_properties(${_target} PROPERTIES OUTPUT_NAME kestrun-${_name} EXPORT_NAME ${_name})
  string(APPEND _sdk_libs " -lkestrun-${_name}")
endforeach()
# The headers are C++20: a user's target gets it with the libraries.
set_property(TARGET platform APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)

install(TARGETS ${_sdk_targets} EXPORT KestrunTargets
  ARCHIVE DESTINATION ${_sdk_libdir} COMPONENT dev EXCLUDE_FROM_ALL
  INCLUDES DESTINATION ${_sdk_includedir})
# `--strip` (and the packages) leave the libraries without their debug
# information, as Debian's own -dev packages are (on Linux 1.6 MB instead
# of 26).
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(_name ${_sdk_names})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --remove-section=.comment --remove-section=.note
        --enable-deterministic-archives
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_sdk_libdir}/libkestrun-\${_name}.a\"
        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()" COMPONENT dev EXCLUDE_FROM_ALL)
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/public-headers.txt _sdk_headers REGEX "^[^#].*\\.h$")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/public-headers.txt)
foreach(_header IN LISTS _sdk_headers)
  get_filename_component(_folder ${_header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${_header} DESTINATION ${_sdk_includedir}/${_folder}
    COMPONENT dev EXCLUDE_FROM_ALL)
endforeach()

install(EXPORT KestrunTargets NAMESPACE Kestrun:: DESTINATION ${_sdk_cmakedir}
  COMPONENT dev EXCLUDE_FROM_ALL)
configure_package_config_file(cmake/KestrunConfig.cmake.in
  ${CMAKE_BINARY_DIR}/sdk/KestrunConfig.cmake INSTALL_DESTINATION ${_sdk_cmakedir})
# 1.x takes any 1.y; the version file also refuses a 32-bit package to a
# 64-bit build and the other way round.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/KestrunConfigVersion.cmake
  VERSION ${KESTRUN_PRODUCT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sdk/KestrunConfig.cmake ${CMAKE_BINARY_DIR}/sdk/KestrunConfigVersion.cmake
  DESTINATION ${_sdk_cmakedir} COMPONENT dev EXCLUDE_FROM_ALL)

# pkg-config: the prefix is found from where kestrun.pc lies, so that an
# SDK folder can be moved or unpacked anywhere. Static libraries only, so
# what they need from the system is in Libs itself.
file(RELATIVE_PATH _sdk_pc_to_prefix /prefix/${_sdk_pcdir} /prefix)
string(REGEX REPLACE "/$" "" _sdk_pc_to_prefix "${_sdk_pc_to_prefix}")
if(WIN32)
  get_target_property(_sdk_system platform INTERFACE_LINK_LIBRARIES)
  list(TRANSFORM _sdk_system PREPEND -l)
  list(JOIN _sdk_system " " _sdk_system)
  set(_sdk_system "-lz ${_sdk_system}")
else()
  set(_sdk_system "-lz -pthread -ldl")
endif()
configure_file(cmake/kestrun.pc.in ${CMAKE_BINARY_DIR}/sdk/kestrun.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sdk/kestrun.pc DESTINATION ${_sdk_pcdir} COMPONENT dev EXCLUDE_FROM_ALL)

# The licence goes with the libraries: as Debian wants it for kestrun-dev,
# as a text file at the SDK's top for Windows.
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/package/LICENSE.txt DESTINATION . COMPONENT dev EXCLUDE_FROM_ALL)
else()
  install(FILES ${CMAKE_BINARY_DIR}/package/doc/copyright ${CMAKE_BINARY_DIR}/package/doc/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrun-dev COMPONENT dev EXCLUDE_FROM_ALL)
endif()

# The development package: the runtime package's settings, the dev
# component alone (cpack --config CPackDevConfig.cmake, scripts/package.sh).
if(WIN32)
  set(_sdk_cpack "\
set(CPACK_PACKAGE_FILE_NAME kestrun-sdk-${KESTRUN_PRODUCT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)")
else()
  set(_sdk_cpack "\
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_SOURCE kestrun)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS \"libssl-dev, zlib1g-dev\")")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/CPackDevConfig.cmake "\
include(\"${CMAKE_BINARY_DIR}/CPackConfig.cmake\")
set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};Kestrun;dev;/\")
set(CPACK_PACKAGE_NAME kestrun-dev)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"Kestrun's socket and NNTP client components (development files)\")
set(CPACK_PACKAGE_DESCRIPTION \"\
The components Kestrun is built on, for programs of your own: TWSocket, an
event-driven TCP/UDP socket with SOCKS, TLS, compression and line mode
layers, and TNntpCli, an asynchronous NNTP client, with the event loop and
the runtime they stand on.

This package holds their headers, the static libraries, a CMake package
(find_package(Kestrun), targets Kestrun::socket and Kestrun::nntp) and a
pkg-config file (kestrun).\")
${_sdk_cpack}
")
