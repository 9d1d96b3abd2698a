#include "platform/verinfo.h"

#include "platform/win32/win.h"

namespace plat {

std::uint32_t VersionInfoSize(const char* path) {
  DWORD handle = 0;
  return GetFileVersionInfoSizeA(path, &handle);
}

bool VersionInfoRead(const char* path, std::uint32_t size, void* block) {
  return GetFileVersionInfoA(path, 0, size, block) != 0;
}

bool VersionInfoQuery(const void* block, const char* subBlock, void** value,
                      std::uint32_t* length) {
  UINT len = 0;
  BOOL ok = VerQueryValueA(block, subBlock, value, &len);
  *length = len;
  return ok != 0;
}

}  // namespace plat
