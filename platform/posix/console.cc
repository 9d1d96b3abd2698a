#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void WriteStdout(const char* data, std::size_t size) { WriteAll(STDOUT_FILENO, data, size); }
void WriteStderr(const char* data, std::size_t size) { WriteAll(STDERR_FILENO, data, size); }

// A terminal here takes bytes in the locale's encoding, which the callers
// convert to.
bool WriteStdoutChars(const std::u16string&) { return false; }
bool WriteStderrChars(const std::u16string&) { return false; }

const char* LineEnd() { return "\n"; }

}  // namespace plat
