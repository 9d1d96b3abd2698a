// The transparency rule of NNTP applied to the article's body where it lies
// in memory: a line that begins with "." gets a second one in front. The
// body is read once into the article's own buffer and spread out there, so
// that a large post is never held twice.
#pragma once

#include <cstddef>
#include <cstring>

// How many lines of the text begin with ".". A line begins at the start of
// the text and after every LF.
inline std::size_t DottedLines(const char* text, std::size_t size) {
  if (size == 0) return 0;
  std::size_t dots = text[0] == '.' ? 1 : 0;
  const char* end = text + size;
  for (const char* nl = text; (nl = static_cast<const char*>(std::memchr(
                                   nl, '\n', static_cast<std::size_t>(end - nl)))) != nullptr;) {
    ++nl;
    if (nl == end) break;
    if (*nl == '.') ++dots;
  }
  return dots;
}

// Moves the `size` bytes of text at `buffer + from` to `buffer + to`, with a
// second "." in front of every line that begins with one; `dots` is
// DottedLines of the text and the buffer holds `to + size + dots` bytes.
// Every byte goes no nearer the front than it was (`to >= from`), so working
// from the back never overwrites a byte still to be moved. The bytes move in
// runs between the dotted lines: no copy per byte.
inline void DotStuffInPlace(char* buffer, std::size_t from, std::size_t to, std::size_t size,
                            std::size_t dots) {
  const char* text = buffer + from;
  std::size_t end = size;  // text[0, end) has not moved yet
  // Past the first dotted line the rest moves in one piece.
  for (std::size_t at = end; dots > 0 && at > 0; --at) {
    std::size_t line = at - 1;
    if (text[line] != '.' || (line > 0 && text[line - 1] != '\n')) continue;
    --dots;
    std::memmove(buffer + to + line + dots + 1, text + line, end - line);
    buffer[to + line + dots] = '.';
    end = line;
  }
  std::memmove(buffer + to, text, end);
}
