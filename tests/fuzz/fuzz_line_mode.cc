// Fuzz target: the line store and line editing against plain models.
//
// Input: a line end (1 to 4 bytes, its length from the first byte), then
// chunks whose lengths come from the data. Lines found by resuming the
// search just before each arrival must be exactly those a whole-text split
// finds; taken in small reads they come back unchanged; editing the second
// half of the text onto the first matches a model of a terminal, line by
// line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "net/LineBuffer.h"

namespace {

// Line editing as a user at a terminal sees it, kept apart from the code's
// buffer arithmetic: finished lines, and the line being typed. A line is
// finished the moment it ends with the line end. A backspace takes back the
// last byte of the line being typed, if there is one; a tab types blanks
// until that line's length is a multiple of eight (at least one).
struct Terminal {
  std::string lineEnd;
  std::vector<std::string> finished;
  std::string typing;
  std::string shown;  // the echo

  void Put(char c) {
    typing += c;
    shown += c;
    if (typing.size() >= lineEnd.size() &&
        typing.compare(typing.size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0) {
      finished.push_back(typing);
      typing.clear();
    }
  }
  void Type(char c) {
    if (c == '\b') {
      if (!typing.empty()) {
        typing.pop_back();
        shown += "\b \b";
      }
    } else if (c == '\t') {
      do Put(' ');
      while (typing.size() % 8 != 0);
    } else {
      Put(c);
    }
  }
  std::string Text() const {
    std::string all;
    for (const std::string& l : finished) all += l;
    return all + typing;
  }
};

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

  // Editing: the held part was received (and edited) before; the rest
  // arrives now. The held lines are finished, its tail is being typed.
  std::size_t cut = rest.size() / 2;
  Terminal model{lineEnd, {}, {}, {}};
  std::size_t lineStart = 0;
  for (std::size_t at; (at = rest.find(lineEnd, lineStart)) < cut && at + endLength <= cut;
       lineStart = at + endLength) {
    model.finished.push_back(rest.substr(lineStart, at + endLength - lineStart));
  }
  model.typing = rest.substr(lineStart, cut - lineStart);
  for (std::size_t k = cut; k < rest.size(); ++k) model.Type(rest[k]);

  TLineBuffer edit;
  std::memcpy(edit.Reserve(static_cast<int>(rest.size())), rest.data(), rest.size());
  edit.Commit(static_cast<int>(rest.size()));
  std::string echo;
  int low = ApplyLineEdits(edit, static_cast<int>(rest.size() - cut), static_cast<int>(lineStart),
                           lineEnd, true, echo);
  const std::string edited(edit.Data(), static_cast<std::size_t>(edit.Count()));
  Require(edited == model.Text(), "edited == model.Text()");
  Require(echo == model.shown, "echo == model.shown");
  Require(low >= 0 && low <= static_cast<int>(cut), "low >= 0 && low <= cut");
  Require(
      edited.compare(0, static_cast<std::size_t>(low), rest, 0, static_cast<std::size_t>(low)) == 0,
      "the bytes before low are unchanged");
  return 0;
}
