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
