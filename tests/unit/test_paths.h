// Paths of helper programs built next to the running test.
#pragma once

#include <string>

#include "platform/files.h"
#include "rtl/sysutils.h"

inline std::string SiblingProgram(const std::string& name) {
  std::string self = plat::ModuleFileName();
  std::string dir = self.substr(0, self.size() - ExtractFileName(self).size());
  bool exe = self.size() > 4 && SameText(self.substr(self.size() - 4), ".exe");
  return dir + name + (exe ? ".exe" : "");
}
