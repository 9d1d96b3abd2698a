#include "platform/console.h"

#include "platform/win32/win.h"

namespace plat {

namespace {

void WriteAll(DWORD which, const char* data, std::size_t size) {
  HANDLE out = GetStdHandle(which);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

}  // namespace

void WriteStdout(const char* data, std::size_t size) { WriteAll(STD_OUTPUT_HANDLE, data, size); }
void WriteStderr(const char* data, std::size_t size) { WriteAll(STD_ERROR_HANDLE, data, size); }

const char* LineEnd() { return "\r\n"; }

}  // namespace plat
