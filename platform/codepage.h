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

// A command-line argument as text in the ANSI code page. Windows hands an
// 8-bit program its arguments in that code page already; POSIX hands over
// the locale's encoding, which is converted ("?" for what has no match).
std::string ArgumentToAnsi(const std::string& argument);

}  // namespace plat
