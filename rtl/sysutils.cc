#include "rtl/sysutils.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, again);
    out.assign(buf.data(), static_cast<std::size_t>(n));
  }
  va_end(again);
  return out;
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string UpperCase(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool SameText(const std::string& a, const std::string& b) { return UpperCase(a) == UpperCase(b); }

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string ExtractFileName(const std::string& path) {
  std::size_t p = path.find_last_of(plat::PathDelimiters());
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& extension) {
  std::size_t delim = path.find_last_of(plat::PathDelimiters());
  std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (delim != std::string::npos && dot < delim))
    return path + extension;
  return path.substr(0, dot) + extension;
}

namespace {

// Upper-case forms of the Windows-1250 bytes 0x80 to 0xFF.
unsigned char UpperCp1250(unsigned char c) {
  switch (c) {
    case 0x9A:
      return 0x8A;  // š
    case 0x9C:
      return 0x8C;  // ś
    case 0x9D:
      return 0x8D;  // ť
    case 0x9E:
      return 0x8E;  // ž
    case 0x9F:
      return 0x8F;  // ź
    case 0xB3:
      return 0xA3;  // ł
    case 0xB9:
      return 0xA5;  // ą
    case 0xBA:
      return 0xAA;  // ş
    case 0xBE:
      return 0xBC;  // ľ
    case 0xBF:
      return 0xAF;  // ż
    default:
      break;
  }
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
  return c;
}

}  // namespace

std::string AnsiUpperCase(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(UpperCp1250(static_cast<unsigned char>(c)));
  return out;
}

bool AnsiSameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && AnsiUpperCase(a) == AnsiUpperCase(b);
}
