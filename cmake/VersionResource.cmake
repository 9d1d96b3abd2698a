# kestrun_version_resource(<target> PRODUCT_VERSION a.b.c.d FILE_VERSION a.b.c.d
#                          ENTRIES <LLLLCCCC> Name=Value... [<LLLLCCCC> Name=Value...])
#
# Gives <target> a Windows version resource: compiled by windres into the
# Windows program, and as the same bytes in an ELF section of the Linux one.
# Each translation is 8 hex digits (language, then code page) followed by
# its strings.

# The ELF section of the Linux program that holds the resource; the version
# reader (platform/posix/verinfo.cc) is built with the same name.
set(KESTRUN_VERSION_SECTION .versioninfo)

function(kestrun_version_resource target)
  cmake_parse_arguments(VR "" "PRODUCT_VERSION;FILE_VERSION" "ENTRIES" ${ARGN})
  if(WIN32)
    string(REPLACE "." "," pv "${VR_PRODUCT_VERSION}")
    string(REPLACE "." "," fv "${VR_FILE_VERSION}")
    set(rc "1 VERSIONINFO\nFILEVERSION ${fv}\nPRODUCTVERSION ${pv}\n")
    string(APPEND rc "FILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\n")
    string(APPEND rc "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n")
    set(open FALSE)
    set(translations "")
    foreach(entry IN LISTS VR_ENTRIES)
      if(entry MATCHES "^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])$")
        if(open)
          string(APPEND rc "    END\n")
        endif()
        string(APPEND rc "    BLOCK \"${entry}\"\n    BEGIN\n")
        string(SUBSTRING "${entry}" 0 4 lang)
        string(APPEND translations ", 0x${lang}, 0x${CMAKE_MATCH_1}")
        set(open TRUE)
      else()
        string(FIND "${entry}" "=" eq)
        string(SUBSTRING "${entry}" 0 ${eq} name)
        math(EXPR after "${eq} + 1")
        string(SUBSTRING "${entry}" ${after} -1 value)
        string(REPLACE "\"" "\"\"" value "${value}")
        string(APPEND rc "      VALUE \"${name}\", \"${value}\"\n")
      endif()
    endforeach()
    if(open)
      string(APPEND rc "    END\n")
    endif()
    string(APPEND rc "  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n")
    if(translations)
      string(SUBSTRING "${translations}" 2 -1 translations)
      string(APPEND rc "    VALUE \"Translation\", ${translations}\n")
    endif()
    string(APPEND rc "  END\nEND\n")
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    file(WRITE ${out}.tmp "${rc}")
    configure_file(${out}.tmp ${out} COPYONLY)
    target_sources(${target} PRIVATE ${out})
  else()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.cc)
    add_custom_command(OUTPUT ${out}
      COMMAND verres ${out} ${KESTRUN_VERSION_SECTION} ${VR_PRODUCT_VERSION} ${VR_FILE_VERSION} ${VR_ENTRIES}
      DEPENDS verres VERBATIM)
    target_sources(${target} PRIVATE ${out})
  endif()
endfunction()
