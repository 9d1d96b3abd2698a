// The article as it goes out, read from the file block by block while it is
// sent, so that memory stays the same whatever the article's size: the
// header block, then the body with CR LF line ends and leading dots doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/article.h"
#include "app/bodyscan.h"
#include "host/version.h"
#include "rtl/classes.h"

// A Message-ID of our own: 128 random bits and a domain that is ours alone.
std::string GenerateMessageID();
// The first "<...@...>" in a server's line, when it is a Message-ID that can
// go into a header; empty otherwise.
std::string MessageIDIn(const std::string& line);

class TArticleSource : public TStream {
 public:
  // The first pass over the body: a regular file is read through once for
  // its character set and a digest of its bytes, anything else (a pipe) is
  // read whole into memory. Raises EArticleFile, or what the file's read
  // raises (a stop).
  TArticleSource(TArticleFile& file, const std::string& author, const std::string& groups,
                 const std::string& subject, const TProductIdentity& identity);

  // Gives the Message-ID (angle brackets included) when the article's first
  // byte is read and none is set: after the server's 340, which may
  // recommend one.
  std::function<std::string()> ChooseMessageID;
  const std::string& MessageID() const { return FMessageID; }
  void SetMessageID(const std::string& id) { FMessageID = id; }
  const char* Charset() const { return FScan.Utf8() ? "UTF-8" : "Windows-1250"; }
  // The body's size in bytes, as the file gives it.
  std::int64_t BodySize() const { return FBodySize; }

  // Starts the article again at its first byte, with the same Message-ID;
  // the file is read again, and must still be what the first pass saw.
  void Rewind();
  // Why the last Read returned -1: the file (changed, shorter, unreadable),
  // or a stop asked for by the user.
  bool Stopped() const { return FStopped; }
  const std::optional<EArticleFile>& Failure() const { return FFailure; }

  // The article's next bytes; 0 at its end; -1 when the file failed (it is
  // never posted in part) or the user stopped the program.
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  // Only the position (0 from the current one) or a return to the start.
  std::int64_t Seek(std::int64_t offset, int origin) override;

 private:
  // Makes the next piece of the article ready: the header block in FOut, or
  // a piece of the raw body in FIn; false at the article's end.
  bool NextPiece();
  // The body from FIn into [to, end), line ends and leading dots done, for
  // as much as fits; where the output ends.
  char* Convert(char* to, char* end);

  TArticleFile& FFile;
  std::string FHead;  // the headers before the Message-ID
  std::string FTail;  // the headers after it, the empty line included
  std::string FMessageID;
  TCharsetScan FScan;
  std::uint64_t FDigest = 0;
  std::int64_t FBodySize = 0;
  TMemoryStream FBuffered;  // the body of a pipe
  std::vector<char> FBlock;

  // The pass under way.
  bool FHeaderDone = false;
  bool FBodyDone = false;
  std::int64_t FBodyRead = 0;
  std::size_t FBomLeft = 0;
  std::uint64_t FBodyOut = 0;
  bool FAtLineStart = true;
  bool FLastCR = false;
  TBodyDigest FPassDigest;
  const char* FIn = nullptr;
  const char* FInEnd = nullptr;
  std::string FOut;
  std::size_t FOutAt = 0;
  std::int64_t FPosition = 0;

  bool FStopped = false;
  std::optional<EArticleFile> FFailure;
};
