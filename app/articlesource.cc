#include "app/articlesource.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "rtl/sysutils.h"

namespace {

// The bytes of a character that `lead` begins; 0 for a byte that begins
// none.
std::size_t LeadLength(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

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

// ---- digest and character set --------------------------------------------------------------

void TBodyDigest::Mix(std::uint64_t word) {
  FHash = (FHash ^ word) * 0x9E3779B97F4A7C15ull;
  FHash ^= FHash >> 29;
}

void TBodyDigest::Update(const char* data, std::size_t size) {
  FLength += size;
  while (FPendingBytes != 0 && size > 0) {
    FPending |= std::uint64_t{static_cast<unsigned char>(*data++)} << (8 * FPendingBytes);
    --size;
    if (++FPendingBytes == 8) {
      Mix(FPending);
      FPending = 0;
      FPendingBytes = 0;
    }
  }
  for (; size >= 8; data += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    Mix(word);
  }
  for (; size > 0; --size) {
    FPending |= std::uint64_t{static_cast<unsigned char>(*data++)} << (8 * FPendingBytes++);
  }
}

std::uint64_t TBodyDigest::Value() const {
  TBodyDigest end = *this;
  end.Mix(end.FPending);
  end.Mix(end.FLength);
  return end.FHash;
}

void TCharsetScan::Feed(const char* data, std::size_t size) {
  if (FFirstLength < sizeof FFirst) {
    std::size_t take = std::min(sizeof FFirst - FFirstLength, size);
    std::memcpy(FFirst + FFirstLength, data, take);
    FFirstLength += take;
  }
  if (!FValid) return;
  std::size_t i = 0;
  if (FCarryLength > 0) {
    // The rest of a character that the last piece cut.
    i = std::min(std::min(FNeed, sizeof FCarry) - FCarryLength, size);
    std::memcpy(FCarry + FCarryLength, data, i);
    FCarryLength += i;
    if (FCarryLength < FNeed) return;
    if (Utf8CharLength(FCarry, FCarryLength, 0) != FNeed) {
      FValid = false;
      return;
    }
    FCarryLength = 0;
  }
  const auto* u = reinterpret_cast<const unsigned char*>(data);
  while (i < size) {
    if (u[i] < 0x80) {
      // Runs of ASCII are most of any text: eight bytes at a time.
      for (std::uint64_t word; i + 8 <= size; i += 8) {
        std::memcpy(&word, u + i, 8);
        if ((word & kHighBits) != 0) break;
      }
      while (i < size && u[i] < 0x80) ++i;
      continue;
    }
    FEightBit = true;
    // Checked here byte by byte rather than through Utf8CharLength: Polish
    // text has a character outside ASCII every few letters. The same rules:
    // no overlong forms, no surrogates, nothing past U+10FFFF.
    const unsigned char c = u[i];
    // Two-byte characters (all of Polish) first, with the fewest tests.
    if (c >= 0xC2 && c < 0xE0 && i + 1 < size && (u[i + 1] & 0xC0) == 0x80) {
      i += 2;
      continue;
    }
    std::size_t length = LeadLength(c);
    if (length == 0 || c < 0xC2 || c > 0xF4) {
      FValid = false;
      return;
    }
    if (i + length > size) {
      FNeed = length;
      FCarryLength = size - i;
      std::memcpy(FCarry, data + i, FCarryLength);
      return;
    }
    const unsigned char d = u[i + 1];
    bool ok = (d & 0xC0) == 0x80;
    if (length >= 3) {
      ok = ok && (u[i + 2] & 0xC0) == 0x80 && !(c == 0xE0 && d < 0xA0) &&
           !(c == 0xED && d >= 0xA0) && !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
    }
    if (length == 4) ok = ok && (u[i + 3] & 0xC0) == 0x80;
    if (!ok) {
      FValid = false;
      return;
    }
    i += length;
  }
}

bool TCharsetScan::StartsWithBom() const {
  return FFirstLength == 3 && std::memcmp(FFirst, "\xEF\xBB\xBF", 3) == 0;
}

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
