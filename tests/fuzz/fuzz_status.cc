// The status parsing of NNTP replies: any bytes, no undefined behaviour,
// and the number read is the one the text shows.
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
  std::int32_t again = -1;
  std::size_t statusEnd = NntpParseNumber(text, 0, again);
  Require(code == again, "the status is the first number");
  bool hasDigits = statusEnd > 0 && IsDigit(text[statusEnd - 1]);
  Require(status == (hasDigits && code >= 100 && code <= 599),
          "a status is a number from 100 to 599");
  return 0;
}
