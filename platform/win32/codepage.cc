#include "platform/codepage.h"

#include "platform/win32/win.h"

namespace plat {

int MultiByteToWide(unsigned codePage, const char* src, int srcLen, char16_t* dst, int dstLen) {
  return MultiByteToWideChar(codePage, 0, src, srcLen, reinterpret_cast<wchar_t*>(dst), dstLen);
}

int WideToMultiByte(unsigned codePage, const char16_t* src, int srcLen, char* dst, int dstLen) {
  return WideCharToMultiByte(codePage, 0, reinterpret_cast<const wchar_t*>(src), srcLen, dst,
                             dstLen, nullptr, nullptr);
}

std::string ArgumentToAnsi(const std::string& argument) { return argument; }

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
