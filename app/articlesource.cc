#include "app/articlesource.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "rtl/sysutils.h"

namespace {

// Whether a server's Message-ID may go into our header as it is: the form
// of RFC 5536 in outline (printable ASCII, no blanks, one "@" between
// non-empty parts) and within its length.
bool UsableMessageID(const std::string& id) {
  if (id.size() < 5 || id.size() > 250 || id.front() != '<' || id.back() != '>') return false;
  std::size_t at = id.find('@');
  if (at == std::string::npos || at == 1 || at + 2 == id.size() ||
      id.find('@', at + 1) != std::string::npos)
    return false;
  for (std::size_t i = 1; i + 1 < id.size(); ++i) {
    auto c = static_cast<unsigned char>(id[i]);
    if (c <= ' ' || c >= 127 || c == '<' || c == '>') return false;
  }
  return true;
}

}  // namespace

// ---- Message-ID ------------------------------------------------------------------------

std::string GenerateMessageID() {
  // The system's source of randomness (getrandom on Linux, rand_s on
  // Windows): 128 bits that no other article shares. The domain is a
  // reserved one (RFC 2606) under our own name: the machine's name is often
  // no fully qualified one, finding it could cost a lookup, and it would
  // tell every reader where the article came from.
  std::random_device random;
  std::string left;
  for (int i = 0; i < 4; ++i) left += Format("%08x", static_cast<unsigned>(random()));
  return "<" + left + "@kestrun.invalid>";
}

std::string MessageIDIn(const std::string& line) {
  std::size_t open = line.find('<');
  if (open == std::string::npos) return "";
  std::size_t close = line.find('>', open);
  if (close == std::string::npos) return "";
  std::string id = line.substr(open, close - open + 1);
  return UsableMessageID(id) ? id : "";
}

// ---- the article --------------------------------------------------------------------------

TArticleSource::TArticleSource(TArticleFile& file, const std::string& author,
                               const std::string& groups, const std::string& subject,
                               const TProductIdentity& identity)
    : FFile(file), FBlock(static_cast<std::size_t>(TArticleFile::kBlockSize)) {
  TArticleHeaders headers = ArticleHeaders(author, groups, subject, identity);
  if (file.Regular()) {
    FBodySize = file.Size();
    TBodyDigest digest;
    file.Rewind();
    for (std::int64_t read = 0; read < FBodySize;) {
      auto want = static_cast<std::int32_t>(
          std::min<std::int64_t>(FBodySize - read, TArticleFile::kBlockSize));
      std::int32_t got = file.ReadBlock(FBlock.data(), want);
      if (got == 0) throw EArticleFile("Cannot read file %s: it became shorter", file.Path());
      FScan.Feed(FBlock.data(), static_cast<std::size_t>(got));
      digest.Update(FBlock.data(), static_cast<std::size_t>(got));
      read += got;
    }
    FDigest = digest.Value();
  } else {
    file.ReadBody(FBuffered);
    FBodySize = FBuffered.Size();
    FScan.Feed(FBuffered.Memory(), static_cast<std::size_t>(FBodySize));
  }
  FHead = std::move(headers.BeforeID);
  FTail = headers.BeforeCharset + Charset() + headers.AfterCharset;
  Rewind();
}

void TArticleSource::Rewind() {
  FHeaderDone = FBodyDone = false;
  FBodyRead = 0;
  FBomLeft = FScan.Utf8() && FScan.StartsWithBom() ? 3 : 0;
  FBodyOut = 0;
  FAtLineStart = true;
  FLastCR = false;
  FPassDigest = TBodyDigest();
  FIn = FInEnd = nullptr;
  FOut.clear();
  FOutAt = 0;
  FPosition = 0;
  FStopped = false;
  FFailure.reset();
  if (FFile.Regular()) FFile.Rewind();
}

char* TArticleSource::Convert(char* to, char* end) {
  // Straight into the caller's buffer: a 10 MB article is copied once less.
  while (FIn < FInEnd && to < end) {
    // The transparency rule: a line that begins with "." gets another.
    if (FAtLineStart) {
      if (*FIn == '.') *to++ = '.';
      FAtLineStart = false;
      continue;
    }
    const auto* lf = static_cast<const char*>(std::memchr(FIn, '\n', FInEnd - FIn));
    const char* lineEnd = lf != nullptr ? lf : FInEnd;
    const std::size_t n = std::min<std::size_t>(lineEnd - FIn, end - to);
    if (n > 0) {
      std::memcpy(to, FIn, n);
      to += n;
      FIn += n;
      FLastCR = FIn[-1] == '\r';
    }
    if (FIn != lf) continue;
    // A bare LF is no line end in NNTP: CR LF goes on the wire.
    if (end - to < (FLastCR ? 1 : 2)) break;
    if (!FLastCR) *to++ = '\r';
    *to++ = '\n';
    ++FIn;
    FLastCR = false;
    FAtLineStart = true;
  }
  return to;
}

bool TArticleSource::NextPiece() {
  if (!FHeaderDone) {
    FHeaderDone = true;
    if (FMessageID.empty() && ChooseMessageID) FMessageID = ChooseMessageID();
    if (FMessageID.empty()) FMessageID = GenerateMessageID();
    FOut = FHead + "Message-ID: " + FMessageID + "\r\n" + FTail;
    FOutAt = 0;
    return true;
  }
  if (FBodyDone) return false;
  const char* piece = nullptr;
  std::size_t size = 0;
  if (FBodyRead < FBodySize) {
    auto want = static_cast<std::int32_t>(
        std::min<std::int64_t>(FBodySize - FBodyRead, TArticleFile::kBlockSize));
    if (FFile.Regular()) {
      piece = FBlock.data();
      want = FFile.ReadBlock(FBlock.data(), want);
      if (want == 0) throw EArticleFile("Cannot read file %s: it became shorter", FFile.Path());
      FPassDigest.Update(piece, static_cast<std::size_t>(want));
    } else {
      piece = FBuffered.Memory() + FBodyRead;
    }
    FBodyRead += want;
    size = static_cast<std::size_t>(want);
  }
  if (FBodyRead == FBodySize) {
    // The whole body has been read: its last piece goes out only if the
    // body is what decided the character set in the header block.
    if (FFile.Regular() && FPassDigest.Value() != FDigest)
      throw EArticleFile("Cannot post %s: the file changed while it was being posted",
                         FFile.Path());
    FBodyDone = true;
  }
  // The byte-order mark says how the file was saved; it is no part of the
  // text, and readers would show it.
  const std::size_t skip = std::min(FBomLeft, size);
  FBomLeft -= skip;
  FIn = piece + skip;
  FInEnd = piece + size;
  FBodyOut += size - skip;
  if (FBodyDone && FBodyOut == 0) {
    // Servers refuse an article with no body at all: one empty line.
    FOut = "\r\n";
    FOutAt = 0;
  }
  return true;
}

std::int32_t TArticleSource::Read(void* buffer, std::int32_t count) {
  if (FStopped || FFailure) return -1;
  char* const start = static_cast<char*>(buffer);
  char* to = start;
  char* const end = start + count;
  try {
    while (to < end) {
      if (FOutAt < FOut.size()) {
        const std::size_t n = std::min<std::size_t>(FOut.size() - FOutAt, end - to);
        std::memcpy(to, FOut.data() + FOutAt, n);
        FOutAt += n;
        to += n;
      } else if (FIn < FInEnd) {
        to = Convert(to, end);
      } else if (!NextPiece()) {
        break;
      }
    }
  } catch (const EArticleFile& e) {
    FFailure = e;
    return -1;
  } catch (const EArticleStopped&) {
    FStopped = true;
    return -1;
  }
  const auto total = static_cast<std::int32_t>(to - start);
  FPosition += total;
  return total;
}

std::int32_t TArticleSource::Write(const void*, std::int32_t) { return 0; }

std::int64_t TArticleSource::Seek(std::int64_t offset, int origin) {
  if (offset == 0 && origin == 1) return FPosition;
  if (offset == 0 && origin == 0) {
    Rewind();
    return 0;
  }
  throw EStreamError("The article can only be read from its start");
}
