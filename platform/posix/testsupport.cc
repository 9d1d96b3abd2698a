#include "platform/testsupport.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

namespace plat::testing {

bool HasWindows() { return false; }
bool ReadShellLink(const std::string&, ShellLinkInfo*) { return false; }
bool AnswerMessageBox(int, BoxInfo*) { return false; }
bool InspectProgressWindow(const std::string&, ProgressInfo*) { return false; }
bool SetLastWriteTime(const std::string& path, long long unixSeconds) {
  timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unixSeconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

}  // namespace plat::testing
