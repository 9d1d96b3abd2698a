#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

extern char** environ;

namespace plat {
namespace {

std::uint32_t StatusCode(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  return 128 + static_cast<std::uint32_t>(WTERMSIG(status));
}

// Waits for the child without a time limit, as long as nobody asks to stop.
// The wait sleeps in poll() on a descriptor that becomes readable when the
// child ends, so it ends with the child and is cut short by a signal; the
// quarter-second slices only cover a signal that lands between the question
// and the poll. Without a process descriptor (an old kernel) the slices
// alone serve.
bool WaitForChild(pid_t pid, int* status, const std::function<bool()>& stopRequested) {
  if (!stopRequested) {
    while (waitpid(pid, status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      if (pidfd >= 0) close(pidfd);
      return false;
    }
    if (stopRequested()) {
      kill(pid, SIGKILL);
      while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    pollfd fd{pidfd, POLLIN, 0};
    poll(&fd, pidfd >= 0 ? 1 : 0, 250);
  }
  if (pidfd >= 0) close(pidfd);
  return true;
}

}  // namespace

bool RunCompressor(const std::string& source, const std::string& target, std::uint32_t* exitCode,
                   const std::function<bool()>& stopRequested) {
  *exitCode = 0;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addopen(&actions, 1, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string tool = "compress";
  std::string flag = "-c";
  std::string src = source;
  char* argv[] = {tool.data(), flag.data(), src.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "compress", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (!WaitForChild(pid, &status, stopRequested)) return false;
  *exitCode = StatusCode(status);
  return true;
}

std::vector<std::string> CommandLineArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

}  // namespace plat
