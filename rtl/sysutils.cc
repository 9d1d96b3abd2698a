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
