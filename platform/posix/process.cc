#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

extern char** environ;

namespace plat {

bool RunCompressor(const std::string& source, const std::string& target, std::uint32_t* exitCode) {
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
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (WIFEXITED(status)) {
    *exitCode = static_cast<std::uint32_t>(WEXITSTATUS(status));
  } else {
    *exitCode = 128 + static_cast<std::uint32_t>(WTERMSIG(status));
  }
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
