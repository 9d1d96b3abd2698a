#include "platform/testsupport.h"

#include <cstdlib>

namespace plat::testing {

bool HasWindows() { return false; }
bool ReadShellLink(const std::string&, ShellLinkInfo*) { return false; }
bool AnswerMessageBox(int, BoxInfo*) { return false; }
bool InspectProgressWindow(const std::string&, ProgressInfo*) { return false; }
void SetEnvironment(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

}  // namespace plat::testing
