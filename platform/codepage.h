// Code page conversions in the manner of the Windows API: 8-bit text in a code
// page to UTF-16 and back, with the platform's default replacement for what
// the target lacks. A failed conversion returns 0.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

constexpr unsigned kCpAcp = 0;    // the system's ANSI code page
constexpr unsigned kCpOemCp = 1;  // the console's code page
constexpr unsigned kCpUtf8 = 65001;

// With dstLen 0 the functions return the length the result needs.
int MultiByteToWide(unsigned codePage, const char* src, int srcLen, char16_t* dst, int dstLen);
int WideToMultiByte(unsigned codePage, const char16_t* src, int srcLen, char* dst, int dstLen);

// Text in one code page as text in another, through UTF-16, with the
// replacement of the functions above for what the target lacks; empty when
// the source cannot be converted. Written once here for both backends and
// the layers above.
inline std::string ConvertCodePage(const std::string& text, unsigned from, unsigned to) {
  int n = MultiByteToWide(from, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  MultiByteToWide(from, text.data(), static_cast<int>(text.size()), wide.data(), n);
  int m = WideToMultiByte(to, wide.data(), n, nullptr, 0);
  if (m <= 0) return {};
  std::string out(static_cast<std::size_t>(m), '\0');
  WideToMultiByte(to, wide.data(), n, out.data(), m);
  return out;
}

// A command-line argument as text in the ANSI code page. Windows hands an
// 8-bit program its arguments in that code page already; POSIX hands over
// the locale's encoding, which is converted ("?" for what has no match).
std::string ArgumentToAnsi(const std::string& argument);

}  // namespace plat
