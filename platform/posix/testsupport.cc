#include "platform/testsupport.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

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

namespace {

// Sets the calling thread's effective rights (Linux keeps them per thread)
// and returns the old ones.
unsigned SwapRights(unsigned rights) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  syscall(SYS_capget, &header, data);
  std::swap(data[0].effective, rights);
  syscall(SYS_capset, &header, data);
  return rights;
}

}  // namespace

UnreadableFile::UnreadableFile(const std::string& path) : FPath(path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  FSaved = st.st_mode & 07777;
  chmod(path.c_str(), 0);
  FRights = SwapRights(0);  // root's rights pass over permissions
}

UnreadableFile::~UnreadableFile() {
  if (FSaved < 0) return;
  SwapRights(FRights);
  chmod(FPath.c_str(), static_cast<mode_t>(FSaved));
}

}  // namespace plat::testing
