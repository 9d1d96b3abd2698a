// The line store and line editing on their own.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "net/LineBuffer.h"

namespace {

void Append(TLineBuffer& b, const std::string& s) {
  std::memcpy(b.Reserve(static_cast<int>(s.size())), s.data(), s.size());
  b.Commit(static_cast<int>(s.size()));
}

std::string Held(const TLineBuffer& b) { return std::string(b.Data(), b.Count()); }

TEST(LineBuffer, FindsLineEndsOfAnyLengthFromAPosition) {
  TLineBuffer b;
  Append(b, "ab\r\ncd\r\n");
  EXPECT_EQ(b.Find("\r\n", 0), 2);
  EXPECT_EQ(b.Find("\r\n", 3), 6);
  EXPECT_EQ(b.Find("\r\n", 7), -1);
  EXPECT_EQ(b.Find("", 0), -1);
  EXPECT_EQ(b.Find("\r\ncd\r\n!", 0), -1);  // longer than what is left
  TLineBuffer c;
  Append(c, "xx--x--END--ENDyy");
  EXPECT_EQ(c.Find("--END", 0), 5);
  EXPECT_EQ(c.Find("--END", 6), 10);
  EXPECT_EQ(c.Find("y", 0), 15);
  TLineBuffer zero;
  Append(zero, std::string("a\0b\0\0c", 6));
  EXPECT_EQ(zero.Find(std::string("\0\0", 2), 0), 3);  // bytes, not C strings
}

TEST(LineBuffer, TakingKeepsTheRestInOrderAcrossRefills) {
  TLineBuffer b;
  std::string expected, got;
  for (int round = 0; round < 200; ++round) {
    std::string piece = std::to_string(round) + "," + std::string(round % 37, 'q') + ";";
    Append(b, piece);
    expected += piece;
    char out[50];
    int n = b.Take(out, 7 + round % 13);
    got.append(out, static_cast<std::size_t>(n));
  }
  char out[100000];
  got.append(out, static_cast<std::size_t>(b.Take(out, sizeof out)));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(b.Count(), 0);
}

TEST(LineBuffer, GrowsGeometrically) {
  // One long line arriving in small pieces: the storage is reallocated a
  // few dozen times at most, not once per piece.
  TLineBuffer b;
  std::set<std::size_t> sizes;
  for (int i = 0; i < 8192; ++i) {
    Append(b, std::string(128, 'x'));
    sizes.insert(b.Capacity());
  }
  EXPECT_EQ(b.Count(), 8192 * 128);
  EXPECT_LE(sizes.size(), 20u);
  EXPECT_LE(b.Capacity(), 2u * 8192 * 128);
}

struct EditCase {
  const char* held;
  int lineStart;  // where the current line starts in `held`
  const char* fresh;
  bool echo;
  const char* result;
  const char* echoed;
  int low;
};

TEST(LineEditing, BackspaceTabAndEchoLineByLine) {
  const EditCase cases[] = {
      {"", 0, "ab\bc\r\n", false, "ac\r\n", "", 0},
      {"", 0, "\tx", false, "        x", "", 0},
      {"", 0, "a\tb", false, "a       b", "", 0},
      {"", 0, "\ba", true, "a", "a", 0},  // a backspace at the start: nothing, no echo
      {"abc", 0, "\b\bX", true, "aX", "\b \b\b \bX", 1},  // reaches into held bytes
      {"1234567", 0, "\t|", true, "1234567 |", " |", 7},
      {"12345678", 0, "\t", false, "12345678        ", "", 8},  // at a multiple of 8: eight
      {"", 0, "plain", true, "plain", "plain", 0},
      {"x", 0, "\b\b\b", true, "", "\b \b", 0},
      // A line end in the arrival starts a new line: a backspace stops
      // there, a tab counts from there.
      {"", 0, "ab\r\n\bc\r\n", true, "ab\r\nc\r\n", "ab\r\nc\r\n", 0},
      {"", 0, "x\r\n\ty", false, "x\r\n        y", "", 0},
      {"ab\r", 0, "\n\b\tc", false, "ab\r\n        c", "", 3},  // the line end split
      {"ab\r\ncd", 4, "\b\b\bX", true, "ab\r\nX", "\b \b\b \bX", 4},
      {"", 0, "a\r\b\n", false, "a\n", "", 0},  // no line end is left
  };
  for (const EditCase& c : cases) {
    TLineBuffer b;
    Append(b, std::string(c.held) + c.fresh);
    std::string echo;
    int low = ApplyLineEdits(b, static_cast<int>(std::strlen(c.fresh)), c.lineStart, "\r\n", c.echo,
                             echo);
    EXPECT_EQ(Held(b), c.result) << c.held << "|" << c.fresh;
    EXPECT_EQ(echo, c.echoed) << c.held << "|" << c.fresh;
    if (std::strchr(c.fresh, '\b') || std::strchr(c.fresh, '\t')) {
      EXPECT_EQ(low, c.low) << c.held << "|" << c.fresh;
    }
  }
}

TEST(LineEditing, LongTabRunsNeverOverrunTheBuffer) {
  // Each tab may write eight bytes for one received: the result is eight
  // times longer than the input and must be stored whole.
  TLineBuffer b;
  std::string tabs(5000, '\t');
  Append(b, tabs);
  std::string echo;
  ApplyLineEdits(b, 5000, 0, "\r\n", true, echo);
  EXPECT_EQ(Held(b), std::string(40000, ' '));
  EXPECT_EQ(echo.size(), 40000u);
}

}  // namespace
