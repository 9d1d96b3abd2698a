// The status parsing of NNTP replies: any bytes, no undefined behaviour,
// the number read is the one the text shows, and a status is only three
// digits that stand alone at the start of the line.
//
// Input: a byte that gives where parsing starts, then the reply line.
#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "nntp/NntpText.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t from = data[0] % (text.size() + 1);

  std::int32_t value = -1;
  std::size_t end = NntpParseNumber(text, from, value);
  Require(end >= from && end <= text.size(), "parsing stops inside the text");
  Require(end == text.size() || !IsDigit(text[end]), "parsing takes every digit");
  // What was consumed: blanks, at most one sign, digits.
  std::size_t i = from;
  while (i < end && IsBlank(text[i])) ++i;
  bool negative = i < end && text[i] == '-';
  if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = i;
  while (i < end && IsDigit(text[i])) ++i;
  Require(i == end, "only blanks, a sign and digits are consumed");
  // The number is the digits' value, held at the largest 32-bit value.
  std::string significant = text.substr(digits, end - digits);
  significant.erase(0, std::min(significant.find_first_not_of('0'), significant.size()));
  std::string shown = std::to_string(negative ? -static_cast<std::int64_t>(value) : value);
  if (significant.size() <= 9) {
    Require(shown == (significant.empty() ? "0" : significant), "the number is the digits' value");
  } else if (significant.size() > 10) {
    Require(value == (negative ? -2147483647 : 2147483647), "a long number is held at the limit");
  }

  std::int32_t code = -1;
  bool status = NntpReadStatus(text, code);
  bool shaped = text.size() >= 3 && IsDigit(text[0]) && IsDigit(text[1]) && IsDigit(text[2]) &&
                (text.size() == 3 || text[3] == ' ' || text[3] == '\t');
  std::int32_t first = shaped ? std::stoi(text.substr(0, 3)) : 0;
  Require(status == (shaped && first >= 100 && first <= 599),
          "a status is three digits from 100 to 599 alone at the start");
  Require(code == (status ? first : 0), "the code is the status, or 0 without one");
  return 0;
}
