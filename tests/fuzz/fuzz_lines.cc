// The NNTP client's line splitter against a plain model of what it must
// give, whatever the sizes of the reads the data arrives in.
//
// Input: a byte that seeds the read sizes, a byte that repeats the rest
// (so that short inputs make over-long lines), then the received bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "nntp/NntpText.h"

namespace {

constexpr std::size_t kMax = TNntpLineBuffer::kMaxData;

// Every CR LF ends a line. A line that does not fit the buffer with its
// CR LF comes out cut to the buffer's size, one byte shorter when the cut
// would end on a CR, and the rest of it up to its CR LF is dropped. An
// unfinished line at the end comes out only once it fills the buffer.
std::vector<std::string> Model(const std::string& s) {
  std::vector<std::string> out;
  for (std::size_t start = 0; start <= s.size();) {
    std::size_t eol = s.find("\r\n", start);
    std::size_t end = eol == std::string::npos ? s.size() : eol;
    std::size_t length = end - start;
    if (eol != std::string::npos && length <= kMax - 1) {
      // Whole; at kMax - 1 the line and its CR fill the buffer, and the CR
      // held back for the LF keeps the line whole.
      out.push_back(s.substr(start, length));
    } else if (length >= kMax) {
      out.push_back(s.substr(start, s[start + kMax - 1] == '\r' ? kMax - 1 : kMax));
    }
    if (eol == std::string::npos) break;
    start = eol + 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::string unit(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string stream;
  for (int i = 0; i <= data[1] % 8; ++i) stream += unit;

  TNntpLineBuffer buffer;
  ChunkSizes sizes(data[0], 3 * kMax);
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t at = 0; at < stream.size();) {
    int room = 0;
    char* to = buffer.Reserve(room);
    Require(room >= 1, "there is always room for a byte");
    std::size_t n = std::min({sizes.Next(), stream.size() - at, static_cast<std::size_t>(room)});
    std::memcpy(to, stream.data() + at, n);
    buffer.Commit(static_cast<int>(n));
    Require(to[n] == '\0', "the data is followed by a 0 byte");
    at += n;
    while (buffer.NextLine(line)) lines.push_back(line);
    Require(buffer.Length() <= static_cast<int>(kMax), "the buffer holds at most its size");
  }
  Require(lines == Model(stream), "the lines are those of the model");
  return 0;
}
