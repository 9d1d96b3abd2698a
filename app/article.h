// Assembly of the article text: the fixed header block, an empty line and
// the article file, with the transparency rule of NNTP applied to lines
// that begin with a dot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/version.h"
#include "platform/files.h"
#include "rtl/classes.h"

// The arguments are UTF-8 text.
// Refuses, with an Exception naming the argument, header values that could
// add header lines or end the article early (CR, LF or NUL), an author
// whose address has bytes outside ASCII, and values whose header would
// have a line over 998 characters however it is folded. Runs before
// anything goes on the wire.
void CheckHeaderArguments(const std::string& author, const std::string& groups,
                          const std::string& subject);

// How a header's value may be written.
enum class THeaderKind : std::uint8_t {
  kText,     // free text (Subject): encoded-words where needed
  kAuthor,   // "Name <address>", "address (Name)" or an address (From):
             // only the name is ever encoded, the address must be ASCII
  kVerbatim  // as typed (Newsgroups): only folded
};

// A header line's value (UTF-8) in the form servers and readers take: ASCII
// text as it is, folded at its blanks so that lines stay within 78
// characters where the words allow; text with other characters, or text
// that would itself read as an encoded-word, as RFC 2047 encoded-words:
// in Windows-1250 when every character of the value has a place there, in
// UTF-8 when one has not. Returns the lines, the first starting with the
// header name; unfolding and decoding them gives back the value. Raises an
// Exception naming the argument when the value cannot be written (see
// CheckHeaderArguments) or is not UTF-8.
std::vector<std::string> HeaderLines(const std::string& name, const std::string& value,
                                     THeaderKind kind);

// An error with the article file. The message is a format with "%s" for the
// file's name, so that the name can be shown as the user typed it.
class EArticleFile : public Exception {
 public:
  EArticleFile(const std::string& format, const std::string& fileName);
  const std::string& MessageFormat() const { return FFormat; }
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFormat;
  std::string FFileName;
};

// The user stopped the program (Ctrl-C, SIGTERM) while the article was read.
class EArticleStopped : public Exception {
 public:
  EArticleStopped() : Exception("stopped while reading the article") {}
};

// The length of the well-formed UTF-8 character at `at`, or 0 when there is
// none (a cut, overlong or surrogate form, or past U+10FFFF).
std::size_t Utf8CharLength(const char* s, std::size_t size, std::size_t at);

// The article file, opened before the connection is made (so that a file
// that cannot be posted costs no connection) and read after the greeting.
// A regular file is read whole, its size taken when it is opened, or not at
// all; a pipe, FIFO, terminal or device is read until it ends; a directory
// is refused. Every failure is an EArticleFile naming the file.
class TArticleFile {
 public:
  explicit TArticleFile(const std::string& path);
  ~TArticleFile();
  TArticleFile(const TArticleFile&) = delete;
  TArticleFile& operator=(const TArticleFile&) = delete;

  const std::string& Path() const { return FPath; }
  bool Regular() const { return FKind == plat::FileKind::kRegular; }
  // The size taken at opening; -1 for a file read until it ends.
  std::int64_t Size() const { return FSize; }
  // Appends the body's bytes as they are to `body`. A regular file's bytes
  // go into storage taken once, with room left after them for `spare`
  // bytes and one in 64 more, so that the article can be built around the
  // body where it lies.
  void ReadBody(TMemoryStream& body, std::size_t spare = 0);

  // How the body is read; a test puts a failing read in its place.
  std::int32_t (*ReadFile)(plat::FileHandle file, void* buffer,
                           std::int32_t count) = plat::FileRead;
  // The largest body a memory buffer can hold; a test lowers it to show the
  // refusal of a file too large.
  std::uint64_t MemoryLimit = PTRDIFF_MAX;

  // Reads the body again from its first byte.
  void Rewind();
  // The next bytes of the body, 0 at its end; a failed read raises an
  // EArticleFile naming the file.
  std::int32_t ReadBlock(void* buffer, std::int32_t count);

  // Size of the blocks the body is read in.
  static constexpr std::int32_t kBlockSize = 64 * 1024;

 private:
  std::string FPath;
  plat::FileHandle FHandle = plat::kNoFile;
  plat::FileKind FKind = plat::FileKind::kStream;
  std::int64_t FSize = -1;
};

// The header block but for the two values known only later: the lines
// before the Message-ID line, then those after it up to the body's
// character set, then the rest (the empty line that ends the block
// included).
struct TArticleHeaders {
  std::string BeforeID;
  std::string BeforeCharset;
  std::string AfterCharset;
};
TArticleHeaders ArticleHeaders(const std::string& author, const std::string& groups,
                               const std::string& subject, const TProductIdentity& identity);
