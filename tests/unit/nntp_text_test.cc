// The client's line splitter and status parser, by table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nntp/NntpText.h"

namespace {

using Lines = std::vector<std::string>;

// Feeds the chunks as separate receives, each as far as the buffer has room,
// and collects the lines in the order they come out.
Lines Split(TNntpLineBuffer& buffer, const std::vector<std::string>& chunks) {
  Lines lines;
  std::string line;
  for (const std::string& chunk : chunks) {
    std::size_t at = 0;
    do {
      int room = 0;
      char* to = buffer.Reserve(room);
      EXPECT_GE(room, 1);
      std::size_t n = std::min(chunk.size() - at, static_cast<std::size_t>(room));
      std::memcpy(to, chunk.data() + at, n);
      buffer.Commit(static_cast<int>(n));
      EXPECT_EQ(to[n], '\0');
      at += n;
      while (buffer.NextLine(line)) lines.push_back(line);
    } while (at < chunk.size());
  }
  return lines;
}

std::string X(std::size_t n) { return std::string(n, 'x'); }

TEST(LineBuffer, UnderALargerLimitLongLinesComeWholeOrNotAtAll) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    Lines lines;
    bool overflow;
  } cases[] = {
      {"a line of many buffers", {X(10000) + "\r\nnext\r\n"}, {X(10000), "next"}, false},
      {"exactly at the limit", {X(20000) + "\r\n.\r\n"}, {X(20000), "."}, false},
      {"CR LF across the gathering", {X(8190) + "\r", "\nb\r\n"}, {X(8190), "b"}, false},
      {"beyond the limit: dropped whole", {"a\r\n" + X(20001) + "\r\nb\r\n"}, {"a", "b"}, true},
      {"beyond, in pieces", {X(15000), X(15000), "\r\n.\r\n"}, {"."}, true},
  };
  for (const Case& c : cases) {
    TNntpLineBuffer buffer;
    buffer.SetLineLimit(20000);
    EXPECT_EQ(Split(buffer, c.chunks), c.lines) << c.what;
    EXPECT_EQ(buffer.TakeOverflow(), c.overflow) << c.what;
    EXPECT_FALSE(buffer.TakeOverflow()) << c.what;  // said once
  }
  // Clear brings back the buffer's own limit: long lines are cut again.
  TNntpLineBuffer buffer;
  buffer.SetLineLimit(1 << 20);
  buffer.Clear();
  Lines lines = Split(buffer, {X(5000) + "\r\n"});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), static_cast<std::size_t>(TNntpLineBuffer::kMaxData));
}

TEST(LineBuffer, SplitsAtCrLfWhateverTheReadsAre) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    Lines lines;
  } cases[] = {
      {"one line", {"200 hello\r\n"}, {"200 hello"}},
      {"two lines in one read", {"a\r\nb\r\n"}, {"a", "b"}},
      {"CR and LF in two reads", {"a\r", "\nb\r\n"}, {"a", "b"}},
      {"a lone LF or CR is data", {"a\nb\rc\r\n"}, {"a\nb\rc"}},
      {"a 0 byte hides nothing", {std::string("x\0y\r\nz\r\n", 8)}, {std::string("x\0y", 3), "z"}},
      {"an empty line", {"\r\n\r\n"}, {"", ""}},
      {"an unfinished line waits", {"a\r\nhalf"}, {"a"}},
      {"the longest line that fits whole", {X(4093) + "\r\nnext\r\n"}, {X(4093), "next"}},
      // The buffer fills with the line and its CR; the LF comes next. The
      // CR must be kept, or the LF is lost and so is the line after it.
      {"CR at the 4095-byte edge", {X(4094) + "\r\nafter\r\n"}, {X(4094), "after"}},
      {"an over-long line is cut", {X(10000) + "\r\nafter\r\n"}, {X(4095), "after"}},
      {"over-long, its CR LF split at the second cut",
       {X(8189) + "\r\nafter\r\n"},
       {X(4095), "after"}},
      {"over-long, a CR inside it at the cut",
       {X(4094) + "\ry" + X(5000) + "\r\nafter\r\n"},
       {X(4094), "after"}},
  };
  for (const Case& k : cases) {
    std::string all;
    for (const std::string& c : k.chunks) all += c;
    std::vector<std::string> bytes;
    for (char c : all) bytes.emplace_back(1, c);
    TNntpLineBuffer a, b, c;
    EXPECT_EQ(Split(a, k.chunks), k.lines) << k.what;
    EXPECT_EQ(Split(b, {all}), k.lines) << k.what << " (one read)";
    EXPECT_EQ(Split(c, bytes), k.lines) << k.what << " (a byte per read)";
  }
}

// One receive of `text` (which fits), without splitting it.
void Feed(TNntpLineBuffer& buffer, const std::string& text) {
  int room = 0;
  char* to = buffer.Reserve(room);
  ASSERT_LE(text.size(), static_cast<std::size_t>(room));
  std::memcpy(to, text.data(), text.size());
  buffer.Commit(static_cast<int>(text.size()));
}

// What lies at a line's place in the buffer, its line end included.
std::string InPlace(const TNntpLineBuffer& buffer, std::size_t length) {
  const char* at = buffer.LineInPlace(length);
  return at == nullptr ? "(none)" : std::string(at, length + 2);
}

TEST(LineBuffer, ALineHandedOutWholeLiesInPlaceWithItsLineEnd) {
  TNntpLineBuffer buffer;
  std::string line;
  EXPECT_EQ(InPlace(buffer, 0), "(none)");
  Feed(buffer, "ab\r\n..c\r\n\r\ntail");
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(InPlace(buffer, 2), "ab\r\n");
  EXPECT_EQ(InPlace(buffer, 1), "(none)");  // a line of another length is not this one
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(InPlace(buffer, 3), "..c\r\n");
  buffer.ForgetLineInPlace();
  EXPECT_EQ(InPlace(buffer, 3), "(none)");
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(InPlace(buffer, 0), "\r\n");
  // No complete line: nothing handed out, nothing in place.
  EXPECT_FALSE(buffer.NextLine(line));
  EXPECT_EQ(InPlace(buffer, 0), "(none)");
  Feed(buffer, "\r\n");
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(InPlace(buffer, 4), "tail\r\n");
  // The next receive may move the held bytes.
  int room = 0;
  buffer.Reserve(room);
  EXPECT_EQ(InPlace(buffer, 4), "(none)");
  Feed(buffer, "x\r\n");
  ASSERT_TRUE(buffer.NextLine(line));
  buffer.Clear();
  EXPECT_EQ(InPlace(buffer, 1), "(none)");

  // A line cut to the buffer's size, or gathered outside it, does not lie
  // there whole.
  Feed(buffer, X(4095));
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(line, X(4095));
  EXPECT_EQ(InPlace(buffer, 4095), "(none)");
  Feed(buffer, "\r\n");
  EXPECT_FALSE(buffer.NextLine(line));  // the end of the cut line, dropped
  buffer.Clear();
  buffer.SetLineLimit(20000);
  Feed(buffer, X(4095));
  EXPECT_FALSE(buffer.NextLine(line));
  Feed(buffer, "yz\r\n");
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(line, X(4095) + "yz");
  EXPECT_EQ(InPlace(buffer, line.size()), "(none)");
  EXPECT_EQ(InPlace(buffer, 2), "(none)");
}

// The client reads the socket straight into the buffer: a whole receive
// fits behind the start of the longest line still waiting for its end, and
// its lines are split where they landed.
TEST(LineBuffer, AWholeReceiveFitsBehindAnUnfinishedLine) {
  TNntpLineBuffer buffer;
  std::string line;
  int room = 0;
  buffer.Reserve(room);
  EXPECT_GE(room, TNntpLineBuffer::kReceiveRoom);
  Feed(buffer, X(TNntpLineBuffer::kMaxData - 1));  // whole only once its CR LF comes
  EXPECT_FALSE(buffer.NextLine(line));
  buffer.Reserve(room);
  EXPECT_GE(room, TNntpLineBuffer::kReceiveRoom);
  std::string receive = "\r\n";
  while (receive.size() + 40 <= static_cast<std::size_t>(TNntpLineBuffer::kReceiveRoom))
    receive += X(38) + "\r\n";
  Feed(buffer, receive);
  ASSERT_TRUE(buffer.NextLine(line));
  EXPECT_EQ(line, X(TNntpLineBuffer::kMaxData - 1));
  EXPECT_EQ(InPlace(buffer, line.size()), line + "\r\n");
  std::size_t lines = 0;
  while (buffer.NextLine(line)) {
    EXPECT_EQ(line, X(38));
    EXPECT_EQ(InPlace(buffer, 38), X(38) + "\r\n");
    ++lines;
  }
  EXPECT_EQ(lines, (receive.size() - 2) / 40);
  EXPECT_EQ(buffer.Length(), 0);
}

TEST(LineBuffer, ClearForgetsAHalfLineAndACutLine) {
  TNntpLineBuffer buffer;
  EXPECT_EQ(Split(buffer, {X(5000)}), Lines{X(4095)});
  buffer.Clear();
  EXPECT_EQ(buffer.Length(), 0);
  EXPECT_EQ(Split(buffer, {"half"}), Lines{});
  buffer.Clear();
  EXPECT_EQ(Split(buffer, {"new\r\n"}), Lines{"new"});
}

TEST(StatusParsing, NumbersFollowOneAnother) {
  const std::string reply = "211 1234 3000234 3002322 misc.test";
  std::int32_t v = -1;
  std::size_t at = NntpParseNumber(reply, 0, v);
  EXPECT_EQ(v, 211);
  std::vector<std::int32_t> rest;
  for (int i = 0; i < 3; ++i) {
    at = NntpParseNumber(reply, at, v);
    rest.push_back(v);
  }
  EXPECT_EQ(rest, (std::vector<std::int32_t>{1234, 3000234, 3002322}));
  std::size_t before = at;
  at = NntpParseNumber(reply, at, v);
  EXPECT_EQ(v, 0);  // no digits
  EXPECT_EQ(at, before + 1);
  EXPECT_EQ(NntpParseNumber("-5x", 0, v), 2u);
  EXPECT_EQ(v, -5);
  NntpParseNumber("99999999999999999999", 0, v);
  EXPECT_EQ(v, 2147483647);
  EXPECT_EQ(NntpSkipBlanks(" \t\r\nx", 0), 4u);
}

TEST(StatusParsing, OnlyAReplyStatusIsAStatus) {
  struct Case {
    const char* line;
    bool status;
    std::int32_t code;
  } cases[] = {
      {"240 article posted", true, 240},
      {"340", true, 340},
      {"200\tready", true, 200},
      {"599 odd", true, 599},
      {"100 help", true, 100},
      {"garbage", false, 0},
      {"", false, 0},
      {"24", false, 0},
      {"2400 posted", false, 0},
      {"0240 ok", false, 0},
      {"+240 ok", false, 0},
      {"-240", false, 0},
      {"240ok", false, 0},
      {"240.", false, 0},
      {" 240 ok", false, 0},
      {" \t200 ready", false, 0},
      {"099 low", false, 0},
      {"600 high", false, 0},
  };
  for (const Case& k : cases) {
    std::int32_t code = -1;
    EXPECT_EQ(NntpReadStatus(k.line, code), k.status) << k.line;
    EXPECT_EQ(code, k.code) << k.line;
  }
}

}  // namespace
