#include "net/LineBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

char* TLineBuffer::Reserve(int want) {
  std::size_t need = static_cast<std::size_t>(want > 0 ? want : 0);
  std::size_t held = end_ - start_;
  // Never a null pointer, even for no bytes: callers copy into it.
  if (data_ != nullptr && capacity_ - end_ >= need) return data_.get() + end_;
  if (need > SIZE_MAX / 2 - held) throw std::bad_alloc();
  if (data_ != nullptr && capacity_ - held >= need && start_ >= held) {
    // Enough room once the held bytes move to the front, and moving them is
    // cheap next to what was taken since the last move.
    std::memmove(data_.get(), data_.get() + start_, held);
  } else {
    std::size_t size = std::max<std::size_t>(capacity_, 256);
    while (size < held + need) size *= 2;
    std::unique_ptr<char[]> bigger(new char[size]);
    if (held > 0) std::memcpy(bigger.get(), data_.get() + start_, held);
    data_ = std::move(bigger);
    capacity_ = size;
  }
  start_ = 0;
  end_ = held;
  return data_.get() + end_;
}

void TLineBuffer::Commit(int written) {
  if (written <= 0) return;
  end_ = std::min(capacity_, end_ + static_cast<std::size_t>(written));
}

void TLineBuffer::Truncate(int count) {
  if (count <= 0) return;
  end_ -= std::min(static_cast<std::size_t>(count), end_ - start_);
  if (start_ == end_) start_ = end_ = 0;
}

void TLineBuffer::Release() {
  data_.reset();
  capacity_ = start_ = end_ = 0;
}

int ApplyLineEdits(TLineBuffer& buf, int fresh, int lineStart, const std::string& lineEnd,
                   bool echoOn, std::string& echo) {
  const int total = buf.Count();
  fresh = std::clamp(fresh, 0, total);
  const int held = total - fresh;
  const char* in = buf.Data();
  // Without a backspace or a tab the bytes stay where they are and only the
  // echo has work to do.
  if (std::memchr(in + held, '\b', static_cast<std::size_t>(fresh)) == nullptr &&
      std::memchr(in + held, '\t', static_cast<std::size_t>(fresh)) == nullptr) {
    if (echoOn) echo.append(in + held, static_cast<std::size_t>(fresh));
    return held;
  }
  std::string out(in, static_cast<std::size_t>(held));
  out.reserve(static_cast<std::size_t>(total) + 64);
  std::size_t line = static_cast<std::size_t>(std::clamp(lineStart, 0, held));
  std::size_t low = out.size();
  const std::size_t endLength = lineEnd.size();
  // Every byte written may complete a line end; what follows is a new line.
  auto put = [&](char c) {
    out += c;
    if (echoOn) echo += c;
    if (endLength > 0 && out.size() - line >= endLength && c == lineEnd.back() &&
        out.compare(out.size() - endLength, endLength, lineEnd) == 0) {
      line = out.size();
    }
  };
  for (int k = held; k < total; ++k) {
    const char c = in[k];
    if (c == '\b') {
      if (out.size() > line) {
        if (echoOn) echo += "\b \b";
        out.pop_back();
        low = std::min(low, out.size());
      }
    } else if (c == '\t') {
      do put(' ');
      while ((out.size() - line) % 8 != 0);
    } else {
      put(c);
    }
  }
  buf.Truncate(total);
  std::memcpy(buf.Reserve(static_cast<int>(out.size())), out.data(), out.size());
  buf.Commit(static_cast<int>(out.size()));
  return static_cast<int>(low);
}
