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

bool WriteChars(DWORD which, const std::u16string& text) {
  HANDLE out = GetStdHandle(which);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  const auto* data = reinterpret_cast<const wchar_t*>(text.data());
  std::size_t size = text.size();
  while (size > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(out, data, static_cast<DWORD>(size), &written, nullptr) || written == 0)
      break;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

bool WriteStdoutChars(const std::u16string& text) { return WriteChars(STD_OUTPUT_HANDLE, text); }
bool WriteStderrChars(const std::u16string& text) { return WriteChars(STD_ERROR_HANDLE, text); }

void WriteStdout(const char* data, std::size_t size) { WriteAll(STD_OUTPUT_HANDLE, data, size); }
void WriteStderr(const char* data, std::size_t size) { WriteAll(STD_ERROR_HANDLE, data, size); }

const char* LineEnd() { return "\r\n"; }

}  // namespace plat
