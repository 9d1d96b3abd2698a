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
  FOut.reserve(2 * FBlock.size() + 16);
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
  FOut.clear();
  FOutAt = 0;
  FPosition = 0;
  FStopped = false;
  FFailure.reset();
  if (FFile.Regular()) FFile.Rewind();
}

void TArticleSource::Convert(const char* data, std::size_t size) {
  // The byte-order mark says how the file was saved; it is no part of the
  // text, and readers would show it.
  std::size_t skip = std::min(FBomLeft, size);
  FBomLeft -= skip;
  data += skip;
  size -= skip;
  FBodyOut += size;
  const char* end = data + size;
  while (data < end) {
    // The transparency rule: a line that begins with "." gets another.
    if (FAtLineStart) {
      if (*data == '.') FOut += '.';
      FAtLineStart = false;
    }
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', end - data));
    if (lf == nullptr) {
      FOut.append(data, end);
      FLastCR = end[-1] == '\r';
      return;
    }
    // A bare LF is no line end in NNTP: CR LF goes on the wire.
    bool cr = lf > data ? lf[-1] == '\r' : FLastCR;
    FOut.append(data, lf);
    FOut += cr ? "\n" : "\r\n";
    FLastCR = false;
    FAtLineStart = true;
    data = lf + 1;
  }
}

bool TArticleSource::Refill() {
  if (!FHeaderDone) {
    FHeaderDone = true;
    if (FMessageID.empty() && ChooseMessageID) FMessageID = ChooseMessageID();
    if (FMessageID.empty()) FMessageID = GenerateMessageID();
    FOut = FHead + "Message-ID: " + FMessageID + "\r\n" + FTail;
    return true;
  }
  if (FBodyDone) return false;
  if (FBodyRead < FBodySize) {
    auto want = static_cast<std::int32_t>(
        std::min<std::int64_t>(FBodySize - FBodyRead, TArticleFile::kBlockSize));
    const char* piece = FBuffered.Memory() + (FFile.Regular() ? 0 : FBodyRead);
    if (FFile.Regular()) {
      piece = FBlock.data();
      want = FFile.ReadBlock(FBlock.data(), want);
      if (want == 0) throw EArticleFile("Cannot read file %s: it became shorter", FFile.Path());
      FPassDigest.Update(piece, static_cast<std::size_t>(want));
    }
    FBodyRead += want;
    Convert(piece, static_cast<std::size_t>(want));
    if (FBodyRead < FBodySize) return true;
  }
  // The whole body has been read: it goes out only if it is what decided
  // the character set in the header block.
  if (FFile.Regular() && FPassDigest.Value() != FDigest)
    throw EArticleFile("Cannot post %s: the file changed while it was being posted", FFile.Path());
  FBodyDone = true;
  // Servers refuse an article with no body at all: one empty line.
  if (FBodyOut == 0) FOut += "\r\n";
  return !FOut.empty();
}

std::int32_t TArticleSource::Read(void* buffer, std::int32_t count) {
  if (FStopped || FFailure) return -1;
  auto* to = static_cast<char*>(buffer);
  std::int32_t total = 0;
  try {
    while (total < count) {
      if (FOutAt == FOut.size()) {
        FOut.clear();
        FOutAt = 0;
        if (!Refill()) break;
        continue;
      }
      auto n = static_cast<std::int32_t>(
          std::min<std::size_t>(FOut.size() - FOutAt, static_cast<std::size_t>(count - total)));
      std::memcpy(to + total, FOut.data() + FOutAt, static_cast<std::size_t>(n));
      FOutAt += static_cast<std::size_t>(n);
      total += n;
    }
  } catch (const EArticleFile& e) {
    FFailure = e;
    return -1;
  } catch (const EArticleStopped&) {
    FStopped = true;
    return -1;
  }
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
