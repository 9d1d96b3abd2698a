#include "platform/cmdline.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdint>

namespace plat {
namespace {

// Well-formed UTF-8 only: no overlong forms, surrogates or code points past
// U+10FFFF, which a strict reader refuses too.
bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = c < 0x80             ? 0
                        : (c & 0xE0) == 0xC0 ? 1
                        : (c & 0xF0) == 0xE0 ? 2
                        : (c & 0xF8) == 0xF0 ? 3
                                             : 4;
    if (extra == 4 || i + extra >= s.size()) return false;
    std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> FromLocale(const std::string& arg, const std::string& codeset) {
  iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buf[1024];
  char* src = const_cast<char*>(arg.data());
  std::size_t left = arg.size();
  bool ok = true;
  while (ok && left > 0) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    // E2BIG only asks for another round; anything else is a sequence the
    // locale's encoding does not know.
    if (iconv(cd, &src, &left, &dst, &room) == static_cast<std::size_t>(-1) && errno != E2BIG)
      ok = false;
    out.append(buf, dst);
  }
  char* dst = buf;
  std::size_t room = sizeof buf;
  if (ok && iconv(cd, nullptr, nullptr, &dst, &room) == static_cast<std::size_t>(-1)) ok = false;
  out.append(buf, dst);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::vector<std::optional<std::string>> ArgumentsAsUtf8(int argc, char** argv) {
  // The console's encoding is the locale's; a locale that only knows ASCII
  // is taken for UTF-8, as the console output does.
  std::string codeset = nl_langinfo(CODESET);
  bool utf8 = codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII" ||
              codeset == "UTF-8" || codeset == "utf8";
  std::vector<std::optional<std::string>> out;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (utf8) {
      out.push_back(IsUtf8(arg) ? std::optional<std::string>(arg) : std::nullopt);
    } else {
      out.push_back(FromLocale(arg, codeset));
    }
  }
  return out;
}

}  // namespace plat
