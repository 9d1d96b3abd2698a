#include "platform/filesys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace plat {

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool RenameReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool FlushFolder(const std::string& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // Some file systems keep no folder of their own to flush and refuse with
  // EINVAL; what they hold is as durable as they make it.
  bool flushed = fsync(fd) == 0 || errno == EINVAL;
  int error = errno;
  close(fd);
  errno = error;
  return flushed;
}

std::string OsErrorText(int code) { return std::strerror(code); }

std::int64_t FileLength(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

FileHandle FileOpenReadShared(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kNoFile : fd;
}

std::string ShortPathName(const std::string& path) { return path; }

std::string TempFileName(const std::string& folder, const std::string& prefix) {
  std::string name = folder + prefix + "XXXXXX";
  int fd = mkstemp(name.data());
  if (fd < 0) return "";
  close(fd);
  return name;
}

bool FileLastWriteLocal(const std::string& path, LocalTime* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  close(fd);
  std::tm tm{};
  if (!ok || localtime_r(&st.st_mtime, &tm) == nullptr) return false;
  out->year = tm.tm_year + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec;
  return true;
}

}  // namespace plat
