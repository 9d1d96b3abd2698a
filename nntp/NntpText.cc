#include "nntp/NntpText.h"

#include <cstring>

TNntpLineBuffer::TNntpLineBuffer() : FData(std::make_unique_for_overwrite<char[]>(kCapacity)) {
  FData[0] = 0;
}

char* TNntpLineBuffer::Reserve(int& room) {
  FInPlace = nullptr;  // the held bytes may move
  if (FStart > 0) {
    // Lines handed out leave a gap at the front: close it only now, once per
    // receive, rather than once per line.
    int held = FEnd - FStart;
    std::memmove(FData.get(), FData.get() + FStart, static_cast<std::size_t>(held));
    FStart = 0;
    FEnd = held;
    FData[FEnd] = 0;
  }
  room = kCapacity - 1 - FEnd;
  return FData.get() + FEnd;
}

void TNntpLineBuffer::Commit(int n) {
  FEnd += n;
  FData[FEnd] = 0;
}

bool TNntpLineBuffer::NextLine(std::string& line) {
  FInPlace = nullptr;
  for (;;) {
    const char* begin = FData.get() + FStart;
    const char* end = FData.get() + FEnd;
    const int held = FEnd - FStart;
    // A line is whole when its CR lies within the first kMaxData bytes (the
    // LF may follow them): beyond, the line is cut there, the same wherever
    // the receives happened to end.
    const char* within = begin + (held < kMaxData ? held : kMaxData);
    const char* eol = nullptr;
    // By length rather than as text, so that a 0 byte hides nothing.
    for (const char* cr = begin; (cr = static_cast<const char*>(std::memchr(
                                      cr, '\r', static_cast<std::size_t>(within - cr)))) != nullptr;
         ++cr) {
      if (cr + 1 < end && cr[1] == '\n') {
        eol = cr;
        break;
      }
    }
    if (eol != nullptr) {
      auto length = static_cast<std::size_t>(eol - begin);
      FStart += static_cast<int>(length) + 2;
      if (FSkipping) {
        FSkipping = false;  // the end of a line that was cut or dropped
        continue;
      }
      if (!FLong.empty()) {
        if (FLong.size() + length > FLimit) {
          std::string().swap(FLong);  // its last piece makes it too long
          FOverflow = true;
          continue;
        }
        FLong.append(begin, length);
        line.swap(FLong);
        FLong.clear();
        return true;
      }
      line.assign(begin, length);
      FInPlace = begin;
      FInPlaceLength = length;
      return true;
    }
    if (held < kMaxData) return false;  // wait for the rest of the line
    // kMaxData bytes without a line end. A CR at the very end of them may be
    // the first half of the line end, so it stays for what follows.
    int keep = within[-1] == '\r' ? 1 : 0;
    int take = kMaxData - keep;
    FStart += take;
    if (FLimit > static_cast<std::size_t>(kMaxData) && !FSkipping) {
      if (FLong.size() + static_cast<std::size_t>(take) > FLimit) {
        std::string().swap(FLong);
        FSkipping = true;
        FOverflow = true;
      } else {
        FLong.append(begin, static_cast<std::size_t>(take));
      }
      continue;
    }
    if (!FSkipping) {
      FSkipping = true;
      line.assign(begin, static_cast<std::size_t>(take));
      return true;
    }
  }
}

void TNntpLineBuffer::Clear() {
  FInPlace = nullptr;
  FStart = FEnd = 0;
  FData[0] = 0;
  FSkipping = false;
  FLimit = kMaxData;
  FLong.clear();
  FOverflow = false;
}

void TNntpLineBuffer::SetLineLimit(std::size_t limit) {
  FLimit = limit < static_cast<std::size_t>(kMaxData) ? static_cast<std::size_t>(kMaxData) : limit;
}

bool TNntpLineBuffer::TakeOverflow() {
  bool overflow = FOverflow;
  FOverflow = false;
  return overflow;
}

std::size_t NntpSkipBlanks(const std::string& text, std::size_t from) {
  while (from < text.size() &&
         (text[from] == ' ' || text[from] == '\t' || text[from] == '\r' || text[from] == '\n')) {
    ++from;
  }
  return from;
}

std::size_t NntpParseNumber(const std::string& text, std::size_t from, std::int32_t& value) {
  constexpr std::int64_t kLimit = 0x7FFFFFFF;
  std::size_t i = NntpSkipBlanks(text, from);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v < kLimit) v = v * 10 + (text[i] - '0');  // junk digits cannot overflow
  }
  if (v > kLimit) v = kLimit;
  value = static_cast<std::int32_t>(negative ? -v : v);
  return i;
}

bool NntpReadStatus(const std::string& line, std::int32_t& code) {
  code = 0;
  if (line.size() < kNntpStatusLength) return false;
  for (std::size_t i = 0; i < kNntpStatusLength; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  // Anything glued to the digits makes them something else than a status.
  if (line.size() > kNntpStatusLength && line[3] != ' ' && line[3] != '\t') return false;
  std::int32_t value = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (value < 100 || value > 599) return false;
  code = value;
  return true;
}
