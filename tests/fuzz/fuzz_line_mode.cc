// Fuzz target: the line store and line editing against plain models.
//
// Input: a line end (1 to 4 bytes, its length from the first byte), then
// chunks whose lengths come from the data. Lines found by resuming the
// search just before each arrival must be exactly those a whole-text split
// finds; taken in small reads they come back unchanged; editing matches a
// model written the obvious way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "net/LineBuffer.h"

namespace {

std::string EditModel(const std::string& held, const std::string& fresh) {
  std::string out = held;
  for (char c : fresh) {
    if (c == '\b') {
      if (!out.empty()) out.pop_back();
    } else if (c == '\t') {
      do out += ' ';
      while (out.size() % 8 != 0);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t endLength = 1 + data[0] % 4;
  if (size < 1 + endLength) return 0;
  std::string lineEnd(reinterpret_cast<const char*>(data + 1), endLength);
  std::string rest(reinterpret_cast<const char*>(data + 1 + endLength), size - 1 - endLength);

  // The model: split the whole text at once.
  std::vector<std::string> expected;
  std::size_t from = 0;
  for (std::size_t at; (at = rest.find(lineEnd, from)) != std::string::npos;
       from = at + endLength) {
    expected.push_back(rest.substr(from, at + endLength - from));
  }

  TLineBuffer buf;
  std::vector<std::string> got;
  std::size_t pos = 0;
  int scanFrom = 0;
  while (pos < rest.size()) {
    std::size_t chunk = 1 + static_cast<unsigned char>(rest[pos]) % 37;
    chunk = std::min(chunk, rest.size() - pos);
    std::memcpy(buf.Reserve(static_cast<int>(chunk)), rest.data() + pos, chunk);
    buf.Commit(static_cast<int>(chunk));
    pos += chunk;
    for (int i; (i = buf.Find(lineEnd, scanFrom)) >= 0; scanFrom = 0) {
      // Taken in reads of up to 3 bytes, as a handler with a tiny buffer would.
      std::string line;
      int left = i + static_cast<int>(endLength);
      char piece[3];
      while (left > 0) {
        int n = buf.Take(piece, std::min(left, 3));
        Require(n > 0, "n > 0");
        line.append(piece, static_cast<std::size_t>(n));
        left -= n;
      }
      got.push_back(line);
    }
    scanFrom = std::max(0, buf.Count() - static_cast<int>(endLength) + 1);
  }
  Require(got == expected, "got == expected");
  Require(std::string(buf.Data(), buf.Count()) == rest.substr(from),
          "std::string(buf.Data(), buf.Count()) == rest.substr(from)");

  // Editing: the held part is the unfinished line, the rest arrives.
  std::size_t cut = rest.size() / 2;
  TLineBuffer edit;
  std::memcpy(edit.Reserve(static_cast<int>(rest.size())), rest.data(), rest.size());
  edit.Commit(static_cast<int>(rest.size()));
  std::string echo;
  int low = ApplyLineEdits(edit, static_cast<int>(rest.size() - cut), true, echo);
  std::string model = EditModel(rest.substr(0, cut), rest.substr(cut));
  Require(std::string(edit.Data(), edit.Count()) == model,
          "std::string(edit.Data(), edit.Count()) == model");
  Require(low >= 0 && low <= static_cast<int>(cut), "low >= 0 && low <= static_cast<int>(cut)");
  Require(
      model.compare(0, static_cast<std::size_t>(low), rest, 0, static_cast<std::size_t>(low)) == 0,
      "model.compare(0, static_cast<std::size_t>(low), rest, 0, static_cast<std::size_t>(low)) ==  "
      "         0");
  return 0;
}
