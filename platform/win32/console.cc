#include "platform/console.h"

#include "platform/win32/win.h"

namespace plat {

void WriteStdout(const char* data, std::size_t size) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

const char* LineEnd() { return "\r\n"; }

}  // namespace plat
