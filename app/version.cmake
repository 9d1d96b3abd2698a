# The program's identity: the one description of its version resource.
set(KESTRUN_PRODUCT_NAME "Kestrun")
set(KESTRUN_PRODUCT_VERSION "1.0.0.0")
set(KESTRUN_PRODUCT_URL "https://kestrun.example.org/")
set(KESTRUN_COPYRIGHT "Copyright (C) 2026 Lumkarey")
set(KESTRUN_VERSION_ENTRIES
  041504E2
  "CompanyName=Lumkarey"
  "FileDescription=Kestrun Usenet poster"
  "FileVersion=${KESTRUN_PRODUCT_VERSION}"
  "LegalCopyright=${KESTRUN_COPYRIGHT}"
  "OriginalFilename=kestrun.exe"
  "ProductName=${KESTRUN_PRODUCT_NAME}"
  "ProductUrl=${KESTRUN_PRODUCT_URL}"
  "ProductVersion=${KESTRUN_PRODUCT_VERSION}")

# The version as the program prints it: the low 8 bits of each part, the
# last three with two digits.
string(REPLACE "." ";" _parts "${KESTRUN_PRODUCT_VERSION}")
set(KESTRUN_PRODUCT_VERSION_TEXT "")
foreach(_p IN LISTS _parts)
  math(EXPR _p "${_p} % 256")
  if(KESTRUN_PRODUCT_VERSION_TEXT STREQUAL "")
    set(KESTRUN_PRODUCT_VERSION_TEXT "${_p}")
  else()
    if(_p LESS 10)
      set(_p "0${_p}")
    endif()
    string(APPEND KESTRUN_PRODUCT_VERSION_TEXT ".${_p}")
  endif()
endforeach()
