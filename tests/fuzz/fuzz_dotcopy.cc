// The doubling of leading dots where the body lies, against the rule
// applied byte by byte.
//
// Input: a byte that gives where the body lies and how far it moves, then
// the body.
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

  // The text lies at `from` and moves back by `by`, as the body does in
  // the article's storage.
  std::size_t from = data[0] & 3;
  std::size_t by = data[0] >> 2;
  std::size_t dots = DottedLines(body.data(), body.size());
  Require(body.size() + dots == want.size(), "the dotted lines counted");
  std::string buffer(from + by + want.size(), '#');
  buffer.replace(from, body.size(), body);
  DotStuffInPlace(buffer.data(), from, from + by, body.size(), dots);
  Require(buffer.compare(from + by, std::string::npos, want) == 0, "in place as byte by byte");
  return 0;
}
