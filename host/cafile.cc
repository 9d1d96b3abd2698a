#include "host/cafile.h"

#include <cstdio>

#include "platform/userenv.h"

TCaFileSetting CaFileFromEnvironment(std::string& path) {
  if (!plat::GetEnvironment(kCaFileVariable, path) || path.empty()) return TCaFileSetting::Unset;
  // Tried now, so that a mistyped name is told before a connection is
  // made, not as an untrusted server afterwards. A folder opens but does
  // not read.
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return TCaFileSetting::Unreadable;
  char byte;
  bool readable = std::fread(&byte, 1, 1, f) == 1 || !std::ferror(f);
  std::fclose(f);
  return readable ? TCaFileSetting::Usable : TCaFileSetting::Unreadable;
}
