// The transparency rule of NNTP applied to the article's body as it is
// copied: a line that begins with "." gets a second one in front.
#pragma once

#include <cstddef>
#include <cstring>

// Copies one block of the body to `write(data, length)`, putting a second
// "." in front of every line that begins with one. A line begins at the
// start of the body and after every LF. `lineStart` says whether the block
// begins a line (true for the first block) and is left saying whether the
// next block will, so that a body can be copied in blocks of any size. The
// bytes go out in as few pieces as the dots allow: no copy per byte.
template <class Write>
void CopyDotStuffed(const char* data, std::size_t size, bool& lineStart, Write&& write) {
  if (size == 0) return;
  const char* end = data + size;
  const char* from = data;
  if (lineStart && *data == '.') write(".", std::size_t{1});
  // Only the byte after each line feed can begin a dotted line.
  for (const char* nl = data; (nl = static_cast<const char*>(std::memchr(
                                   nl, '\n', static_cast<std::size_t>(end - nl)))) != nullptr;) {
    ++nl;
    if (nl == end) break;
    if (*nl == '.') {
      write(from, static_cast<std::size_t>(nl - from));
      write(".", std::size_t{1});
      from = nl;
    }
  }
  write(from, static_cast<std::size_t>(end - from));
  lineStart = end[-1] == '\n';
}
