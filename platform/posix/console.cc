#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

namespace plat {

void WriteStdout(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

const char* LineEnd() { return "\n"; }

}  // namespace plat
