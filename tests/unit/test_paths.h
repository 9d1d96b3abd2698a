// Paths of helper programs built next to the running test, paths written
// with "/" in the tests, and variables put back when a test ends.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/shell.h"
#include "platform/testsupport.h"
#include "rtl/sysutils.h"

inline std::string SiblingProgram(const std::string& name) {
  std::string self = plat::ModuleFileName();
  std::string dir = self.substr(0, self.size() - ExtractFileName(self).size());
  bool exe = self.size() > 4 && SameText(self.substr(self.size() - 4), ".exe");
  return dir + name + (exe ? ".exe" : "");
}

// "/" in a literal as the platform's separator.
inline std::string S(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '/') c = plat::PathSeparator();
  }
  return out;
}

// Puts a variable of the environment back as it was when the test ends.
class SavedVariable {
 public:
  explicit SavedVariable(const char* name) : name_(name) {
    const char* v = std::getenv(name);
    had_ = v != nullptr;
    if (had_) value_ = v;
  }
  ~SavedVariable() { plat::testing::SetEnvironment(name_, had_ ? value_ : ""); }

 private:
  std::string name_, value_;
  bool had_ = false;
};
