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

}  // namespace plat
