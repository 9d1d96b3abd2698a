// The body's character set and digest, found over pieces of any size,
// against a strict decoder that takes the whole body one character at a
// time; and the digest the same however the body is cut.
//
// Input: a byte that seeds the piece sizes, then the body.
#include <string>

#include "app/bodyscan.h"
#include "fuzz_check.h"

namespace {

bool StrictUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  bool eightBit = false;
  for (char c : body) eightBit = eightBit || static_cast<unsigned char>(c) >= 0x80;

  TCharsetScan scan;
  TBodyDigest pieces;
  ChunkSizes sizes(data[0], 100);
  for (std::size_t at = 0; at < body.size();) {
    std::size_t n = std::min(sizes.Next(), body.size() - at);
    scan.Feed(body.data() + at, n);
    pieces.Update(body.data() + at, n);
    at += n;
  }
  Require(scan.Utf8() == (eightBit && StrictUtf8(body)), "the character set of the whole");
  TBodyDigest whole;
  whole.Update(body.data(), body.size());
  Require(pieces.Value() == whole.Value(), "the digest however the body is cut");
  return 0;
}
