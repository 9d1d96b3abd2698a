// The byte store behind line mode, and the line editing it offers, apart
// from any socket so that both can be tested and fuzzed alone.
//
// Bytes are appended at the back and taken from the front. Taking only
// moves a start mark, so handing out many short lines from one large
// arrival costs nothing per line; the held bytes move to the front only when
// room is needed. Room grows geometrically, so a long line without an end
// costs amortised constant time per byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

class TLineBuffer {
 public:
  int Count() const { return static_cast<int>(end_ - start_); }
  // The held bytes (valid until the next Reserve).
  const char* Data() const { return data_.get() + start_; }
  char* MutableData() { return data_.get() + start_; }
  // Storage allocated, whatever is held.
  std::size_t Capacity() const { return capacity_; }

  // Makes room for `want` more bytes and returns where they go; Commit
  // then adds the bytes actually written.
  char* Reserve(int want);
  void Commit(int written);

  // The first position at or after `from` where `lineEnd` begins, or -1.
  // Exact byte comparison; an empty lineEnd is never found. Inline: it runs
  // once per line handed out.
  int Find(const std::string& lineEnd, int from) const {
    const std::size_t n = lineEnd.size();
    const std::size_t held = end_ - start_;
    const std::size_t first = from > 0 ? static_cast<std::size_t>(from) : 0;
    if (n == 0 || held < n || first > held - n) return -1;
    const char* base = data_.get() + start_;
    // The last place where a line end fits.
    const char* last = base + (held - n);
    const char* want = lineEnd.data();
    const char lead = want[0];
    const char second = n > 1 ? want[1] : 0;
    for (const char* p = base + first;; ++p) {
      p = static_cast<const char*>(std::memchr(p, lead, static_cast<std::size_t>(last - p) + 1));
      if (p == nullptr) return -1;
      // Most line ends are two bytes (CR LF): the second is looked at in place.
      if (n == 2 ? p[1] == second : std::memcmp(p + 1, want + 1, n - 1) == 0)
        return static_cast<int>(p - base);
      if (p == last) return -1;
    }
  }

  // Copies up to `size` bytes from the front into `out` and drops them.
  int Take(char* out, int size) {
    const int n = std::min(size, Count());
    if (n <= 0) return 0;
    std::memcpy(out, data_.get() + start_, static_cast<std::size_t>(n));
    Drop(n);
    return n;
  }
  void Drop(int count) {
    if (count <= 0) return;
    start_ += std::min(static_cast<std::size_t>(count), end_ - start_);
    if (start_ == end_) start_ = end_ = 0;
  }
  // Drops the `count` bytes at the back.
  void Truncate(int count);
  void Clear() { start_ = end_ = 0; }
  // Gives the storage back.
  void Release();

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// Simple line editing over the `fresh` bytes at the back of `buf`, one line
// at a time. The current line starts at `lineStart` of the held bytes
// before them (no complete line may follow that position), and a new one
// begins as soon as the text ends with `lineEnd`. Backspace (8) removes the
// byte before it on its line (also one held from an earlier arrival;
// nothing at the start of a line); tab (9) writes blanks up to the next
// multiple of 8 counted from the line's start (at least one). What a
// terminal should show goes to `echo` when `echoOn`: each byte, BS blank BS
// for a backspace that removed something, one blank per blank a tab wrote.
// Returns the lowest position that changed, from where a line-end search
// has to look again.
int ApplyLineEdits(TLineBuffer& buf, int fresh, int lineStart, const std::string& lineEnd,
                   bool echoOn, std::string& echo);
