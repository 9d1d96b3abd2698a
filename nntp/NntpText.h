// The two text algorithms of the NNTP client, kept apart from its socket
// handling so that they can be tested and fuzzed on their own: splitting the
// server's bytes into lines, and reading the status number of a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Received bytes not yet split into lines, in a fixed buffer: receiving never
// allocates. Lines end at CR LF (a lone LF or CR is part of the line). A
// line that does not fit in kSize bytes with its CR LF is cut: its first
// part is handed out as the line and the rest, up to its line end, is
// dropped.
class TNntpLineBuffer {
 public:
  // What a line must fit in, with its line end, to come out whole at the
  // buffer's own limit: kMaxData bytes of it are looked at, and one byte
  // stays for the 0 that follows.
  static constexpr int kSize = 4096;
  static constexpr int kMaxData = kSize - 1;
  // Room for a whole receive of this size behind the start of a line
  // (which is shorter than kMaxData once the lines held are taken), so
  // that the socket can be read straight into the buffer and its lines
  // split where they landed.
  static constexpr int kReceiveRoom = 64 * 1024;

  TNntpLineBuffer();
  // Where the next received bytes go; `room` receives how many fit, which
  // is at least kReceiveRoom once NextLine has taken every line held.
  char* Reserve(int& room);
  // Takes `n` bytes written at the place Reserve returned (n <= room); the
  // data is then followed by a 0 byte.
  void Commit(int n);
  // Moves the next line, without its CR LF, into `line` and returns true;
  // returns false and leaves `line` alone when no complete line is held.
  bool NextLine(std::string& line);
  // Where the line NextLine handed out last still lies in the buffer, its
  // CR LF right behind it, so that it can be passed on with its line end as
  // it is; nullptr when it does not lie there whole (gathered outside the
  // buffer, or cut), when it was not `length` bytes long, or once
  // ForgetLineInPlace, Reserve or Clear has been called since.
  const char* LineInPlace(std::size_t length) const {
    return FInPlaceLength == length ? FInPlace : nullptr;
  }
  void ForgetLineInPlace() { FInPlace = nullptr; }
  // Drops everything held, including a cut line still being skipped; the
  // limit goes back to the buffer's own.
  void Clear();
  // The longest line handed out whole. At the buffer's own size (kMaxData,
  // the default, right for status lines) a longer line is cut as said
  // above. Above it, a line that does not fit is gathered outside the
  // buffer up to the limit, and one longer than that is dropped whole
  // (never cut and handed out in part); TakeOverflow then says so once.
  void SetLineLimit(std::size_t limit);
  bool TakeOverflow();
  // Data bytes held.
  int Length() const { return FEnd - FStart; }

 private:
  // The bytes, with room for a receive and the 0 behind it.
  static constexpr int kCapacity = kReceiveRoom + kSize;
  std::unique_ptr<char[]> FData;
  int FStart = 0;  // first byte not yet handed out
  int FEnd = 0;    // end of the received data
  // The rest of a line too long for the buffer is being dropped; its
  // first part was handed out already.
  bool FSkipping = false;
  const char* FInPlace = nullptr;
  std::size_t FInPlaceLength = 0;
  std::size_t FLimit = kMaxData;
  // The start of a line longer than the buffer, under a larger limit.
  std::string FLong;
  bool FOverflow = false;
};

// Blanks as the status parser sees them: tab, LF, CR and space.
std::size_t NntpSkipBlanks(const std::string& text, std::size_t from);
// Reads an optionally signed decimal number after blanks into `value` (0
// when there are no digits; limited to the 32-bit range) and returns the
// position after its digits.
std::size_t NntpParseNumber(const std::string& text, std::size_t from, std::int32_t& value);
// Reads the status of a reply line into `code` and tells whether the line
// has one: three digits at the very start, making a number from 100 to 599,
// followed by a blank or the end of the line. Anything else ("0240 ok",
// "+240", "240ok", " 240") is no answer to anything, and `code` is 0.
bool NntpReadStatus(const std::string& line, std::int32_t& code);
// Where the text after a reply's status begins (3, the status's length).
constexpr std::size_t kNntpStatusLength = 3;
