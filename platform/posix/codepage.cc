#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace plat {
namespace {

// The program's own texts are Windows-1250 by definition; the console speaks
// the locale's encoding, which is UTF-8 wherever the locale only knows ASCII.
std::string EncodingOf(unsigned codePage) {
  switch (codePage) {
    case kCpAcp:
      return "CP1250";
    case kCpOemCp: {
      std::string set = nl_langinfo(CODESET);
      if (set.empty() || set == "ANSI_X3.4-1968" || set == "ASCII") return "UTF-8";
      return set;
    }
    case kCpUtf8:
      return "UTF-8";
    case 852:
      return "IBM852";
    default:
      return "CP" + std::to_string(codePage);
  }
}

// Windows-1250 bytes 0x80 to 0xFF; 0xFFFD where the code page has nothing.
const char16_t kCp1250High[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021, 0xFFFD, 0x2030, 0x0160, 0x2039,
    0x015A, 0x0164, 0x017D, 0x0179, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141,
    0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB,
    0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// The program's own code page and UTF-8 are converted here directly: they
// are on every run's path, and loading iconv's modules for them costs more
// than a whole post of a short article. Other encodings go through iconv.
bool IsCp1250(const std::string& e) { return e == "CP1250"; }
bool IsUtf8(const std::string& e) { return e == "UTF-8" || e == "utf8" || e == "UTF8"; }

std::u16string Cp1250ToWide(const char* src, int len) {
  std::u16string out(static_cast<std::size_t>(len), u'\0');
  for (int i = 0; i < len; ++i) {
    auto c = static_cast<unsigned char>(src[i]);
    out[static_cast<std::size_t>(i)] = c < 0x80 ? c : kCp1250High[c - 0x80];
  }
  return out;
}

std::string WideToCp1250(const char16_t* src, int len) {
  std::string out(static_cast<std::size_t>(len), '?');
  for (int i = 0; i < len; ++i) {
    char16_t w = src[i];
    if (w < 0x80) {
      out[static_cast<std::size_t>(i)] = static_cast<char>(w);
      continue;
    }
    for (int k = 0; k < 128; ++k) {
      if (kCp1250High[k] == w && w != 0xFFFD) {
        out[static_cast<std::size_t>(i)] = static_cast<char>(0x80 + k);
        break;
      }
    }
  }
  return out;
}

std::u16string Utf8ToWide(const char* s, int len) {
  std::u16string out;
  out.reserve(static_cast<std::size_t>(len));
  for (int i = 0; i < len;) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
    std::uint32_t cp = extra == 0   ? c
                       : extra == 1 ? (c & 0x1F)
                       : extra == 2 ? (c & 0x0F)
                                    : (c & 0x07);
    bool ok = extra >= 0 && i + extra < len;
    for (int k = 1; ok && k <= extra; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (d & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || extra < 0 || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);  // as Windows does for a malformed sequence
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string WideToUtf8(const char16_t* s, int len) {
  std::string out;
  out.reserve(static_cast<std::size_t>(len) * 2);
  for (int i = 0; i < len; ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts as much as it can; an input sequence the target cannot take is
  // skipped by `skip` bytes and replaced by `replacement`.
  std::vector<char> Run(const char* in, std::size_t len, std::size_t skip,
                        const std::string& replacement) {
    std::vector<char> out;
    char buf[1024];
    char* src = const_cast<char*>(in);
    std::size_t left = len;
    while (left > 0) {
      char* dst = buf;
      std::size_t room = sizeof buf;
      std::size_t r = iconv(cd_, &src, &left, &dst, &room);
      out.insert(out.end(), buf, dst);
      if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
        out.insert(out.end(), replacement.begin(), replacement.end());
        std::size_t step = std::min(skip, left);
        src += step;
        left -= step;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    char* dst = buf;
    std::size_t room = sizeof buf;
    iconv(cd_, nullptr, nullptr, &dst, &room);
    out.insert(out.end(), buf, dst);
    return out;
  }

 private:
  iconv_t cd_;
};

// Hands a converted text over as the Windows functions do: its length when
// asked (dstLen 0), the text when it fits, 0 when it does not.
template <typename Char>
int Deliver(const std::basic_string<Char>& text, Char* dst, int dstLen) {
  int n = static_cast<int>(text.size());
  if (dstLen == 0) return n;
  if (dstLen < n) return 0;
  std::memcpy(dst, text.data(), text.size() * sizeof(Char));
  return n;
}

}  // namespace

int MultiByteToWide(unsigned codePage, const char* src, int srcLen, char16_t* dst, int dstLen) {
  if (srcLen < 0) srcLen = static_cast<int>(std::strlen(src)) + 1;
  if (srcLen == 0) return 0;
  std::string encoding = EncodingOf(codePage);
  if (IsCp1250(encoding)) return Deliver(Cp1250ToWide(src, srcLen), dst, dstLen);
  if (IsUtf8(encoding)) return Deliver(Utf8ToWide(src, srcLen), dst, dstLen);
  Converter c("UTF-16LE", encoding);
  if (!c.ok()) return 0;
  const std::string replacement("\xFD\xFF", 2);  // U+FFFD, as Windows does for bad input
  std::vector<char> out = c.Run(src, srcLen, 1, replacement);
  std::u16string wide(out.size() / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) |
                                    static_cast<unsigned char>(out[2 * i + 1]) << 8);
  }
  return Deliver(wide, dst, dstLen);
}

int WideToMultiByte(unsigned codePage, const char16_t* src, int srcLen, char* dst, int dstLen) {
  if (srcLen < 0) {
    srcLen = 0;
    while (src[srcLen] != 0) ++srcLen;
    ++srcLen;
  }
  if (srcLen == 0) return 0;
  std::string encoding = EncodingOf(codePage);
  if (IsCp1250(encoding)) return Deliver(WideToCp1250(src, srcLen), dst, dstLen);
  if (IsUtf8(encoding)) return Deliver(WideToUtf8(src, srcLen), dst, dstLen);
  Converter c(encoding, "UTF-16LE");
  if (!c.ok()) return 0;
  std::vector<char> in(static_cast<std::size_t>(srcLen) * 2);
  for (int i = 0; i < srcLen; ++i) {
    in[2 * i] = static_cast<char>(src[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(src[i] >> 8);
  }
  std::vector<char> out = c.Run(in.data(), in.size(), 2, "?");
  return Deliver(std::string(out.begin(), out.end()), dst, dstLen);
}

std::string ArgumentToAnsi(const std::string& argument) {
  if (argument.empty()) return argument;
  int n = MultiByteToWide(kCpOemCp, argument.data(), static_cast<int>(argument.size()), nullptr, 0);
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  MultiByteToWide(kCpOemCp, argument.data(), static_cast<int>(argument.size()), wide.data(), n);
  int m = WideToMultiByte(kCpAcp, wide.data(), n, nullptr, 0);
  std::string out(static_cast<std::size_t>(m), '\0');
  WideToMultiByte(kCpAcp, wide.data(), n, out.data(), m);
  return out;
}

}  // namespace plat
