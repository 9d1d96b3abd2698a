#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
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

class Converter {
 public:
  Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
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

}  // namespace

int MultiByteToWide(unsigned codePage, const char* src, int srcLen, char16_t* dst, int dstLen) {
  if (srcLen < 0) srcLen = static_cast<int>(std::strlen(src)) + 1;
  if (srcLen == 0) return 0;
  Converter c("UTF-16LE", EncodingOf(codePage));
  if (!c.ok()) return 0;
  const std::string replacement("\xFD\xFF", 2);  // U+FFFD, as Windows does for bad input
  std::vector<char> out = c.Run(src, srcLen, 1, replacement);
  int units = static_cast<int>(out.size() / 2);
  if (dstLen == 0) return units;
  if (dstLen < units) return 0;
  for (int i = 0; i < units; ++i) {
    dst[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) |
                                   static_cast<unsigned char>(out[2 * i + 1]) << 8);
  }
  return units;
}

int WideToMultiByte(unsigned codePage, const char16_t* src, int srcLen, char* dst, int dstLen) {
  if (srcLen < 0) {
    srcLen = 0;
    while (src[srcLen] != 0) ++srcLen;
    ++srcLen;
  }
  if (srcLen == 0) return 0;
  Converter c(EncodingOf(codePage), "UTF-16LE");
  if (!c.ok()) return 0;
  std::vector<char> in(static_cast<std::size_t>(srcLen) * 2);
  for (int i = 0; i < srcLen; ++i) {
    in[2 * i] = static_cast<char>(src[i] & 0xFF);
    in[2 * i + 1] = static_cast<char>(src[i] >> 8);
  }
  std::vector<char> out = c.Run(in.data(), in.size(), 2, "?");
  int bytes = static_cast<int>(out.size());
  if (dstLen == 0) return bytes;
  if (dstLen < bytes) return 0;
  std::memcpy(dst, out.data(), out.size());
  return bytes;
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

void WriteStdout(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

const char* LineEnd() { return "\n"; }

}  // namespace plat
