// The article copy that doubles leading dots, block by block, against the
// rule applied byte by byte to the whole body.
//
// Input: a byte that seeds the block sizes, then the body.
#include <algorithm>
#include <string>

#include "app/dotcopy.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string want;
  bool atLineStart = true;
  for (char c : body) {
    if (atLineStart && c == '.') want += '.';
    want += c;
    atLineStart = c == '\n';
  }

  std::string got;
  bool lineStart = true;
  ChunkSizes sizes(data[0], 64 * 1024);
  for (std::size_t at = 0; at < body.size();) {
    std::size_t n = std::min(sizes.Next(), body.size() - at);
    CopyDotStuffed(body.data() + at, n, lineStart,
                   [&](const char* d, std::size_t k) { got.append(d, k); });
    at += n;
  }
  Require(got == want, "block by block as byte by byte");
  Require(lineStart == atLineStart, "the line start carries to the next block");
  return 0;
}
