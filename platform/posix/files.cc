#include "platform/files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/messages.h"

namespace plat {

FileHandle FileOpenRead(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kNoFile : fd;
}

FileHandle FileOpenReadNoWait(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  return fd < 0 ? kNoFile : fd;
}

FileHandle FileCreate(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? kNoFile : fd;
}

std::int32_t FileRead(FileHandle file, void* buffer, std::int32_t count) {
  ssize_t n;
  do {
    n = read(static_cast<int>(file), buffer, static_cast<std::size_t>(count));
    // A pipe that never ends or never speaks must not hold a stop back.
  } while (n < 0 && errno == EINTR && !StopRequested());
  return static_cast<std::int32_t>(n);
}

std::int32_t FileWrite(FileHandle file, const void* buffer, std::int32_t count) {
  ssize_t n;
  do {
    n = write(static_cast<int>(file), buffer, static_cast<std::size_t>(count));
  } while (n < 0 && errno == EINTR);
  return static_cast<std::int32_t>(n);
}

std::int64_t FileSeek(FileHandle file, std::int64_t offset, int origin) {
  static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  return lseek(static_cast<int>(file), offset, whence[origin]);
}

bool FileFlush(FileHandle file) { return fsync(static_cast<int>(file)) == 0; }

bool FileClose(FileHandle file) { return file == kNoFile || close(static_cast<int>(file)) == 0; }

FileKind FileKindOf(FileHandle file) {
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) return FileKind::kStream;
  if (S_ISREG(st.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kStream;
}

int LastOsError() { return errno; }

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string ModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

const char* PathDelimiters() { return "/"; }

}  // namespace plat
