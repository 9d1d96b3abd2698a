// TCustomCompressWSocket: DEFLATE compression of the connection (RFC 1951
// raw streams, one each way, as NNTP's COMPRESS DEFLATE uses them), above
// TLS and below line mode: compression runs inside TLS when both are used,
// and the layers above see plain text only.
//
// StartCompress turns it on for a connected socket, like StartTls: every
// byte that arrived before (and was not yet read) is dropped, and from then
// on every byte from the peer is inflated and every byte sent deflated.
// Each Send is flushed (a sync flush) so that the peer can act on it at
// once; while the socket is corked (SetTcpCork), sends are compressed as one
// stream, and turning the cork off flushes them.
//
// Received data is inflated as the application reads it: the layer holds
// at most one piece of compressed input and a few bytes inflated ahead, so
// a peer whose few kilobytes inflate to gigabytes costs no more memory than
// any other. A stream that does not inflate ends the connection with
// kCompressErrorCorrupt (OnSessionClosed, and Receive fails with it). A
// peer's final block ends the stream: Receive returns 0 after the last
// byte, then the connection closes (OnSessionClosed 0). A peer that closes
// the connection in the middle of a block may have been cut short:
// OnSessionClosed, and the Receive after the last byte, give
// kCompressErrorTruncated (a close between blocks is an orderly one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/InflateStream.h"
#include "net/WSocketTls.h"

constexpr std::int32_t kCompressErrorCorrupt = kSocketErrorCompressCorrupt;
constexpr std::int32_t kCompressErrorTruncated = kSocketErrorCompressTruncated;

// Posted to the socket's own window: the compressed stream failed, or the
// peer ended it, handled as the peer's close (with kCompressErrorCorrupt, or
// 0). wParam the socket handle, lParam the connection's serial number.
constexpr std::uint32_t MsgCompressEnded = plat::kWmUser + 26;

struct TDeflateStream;

// The layer's state of one connection, put back by every close.
struct TCompressSession {
  bool Active = false;
  std::unique_ptr<TInflateStream> In;
  std::unique_ptr<TDeflateStream> Out;
  // Inflated bytes not yet read: Plain[PlainStart..PlainEnd].
  std::string Plain;
  std::size_t PlainStart = 0, PlainEnd = 0;
  // The layer below reported the end of its data (0), or an error (its
  // number), which is what the application reads once the rest is out.
  bool BelowEnded = false;
  int BelowError = 0;
  // The last inflate filled all the room it had: the stream may hold more
  // output (a long match) even with no input held.
  bool OutputFull = false;
  // The peer's stream failed to inflate.
  bool Corrupt = false;
  // MsgCompressEnded is on its way, or was handled.
  bool EndPosted = false;
  // Sends are held in the deflate stream until the cork comes off.
  bool Corked = false;

  TCompressSession();
  ~TCompressSession();
  TCompressSession(TCompressSession&&) noexcept;
  TCompressSession& operator=(TCompressSession&&) noexcept;
  std::size_t Unread() const { return PlainEnd - PlainStart; }
  std::size_t RawUnread() const { return In ? In->InputHeld() : 0; }
};

class TCustomCompressWSocket : public TCustomTlsWSocket {
 public:
  explicit TCustomCompressWSocket(TComponent* owner);
  ~TCustomCompressWSocket() override;

  // Compresses the connection from now on, both ways. Raises (or OnError)
  // when the socket is not connected, TLS is still negotiating, or
  // compression is on already.
  void StartCompress();
  bool CompressActive() const { return FCompress.Active; }
  // Bytes handed to Send and bytes that went to the layer below for them,
  // since compression started: what it saved.
  std::int64_t CompressPlainSent() const { return FPlainSent; }
  std::int64_t CompressPackedSent() const { return FPackedSent; }

  int Send(const void* data, int length) override;
  void SetTcpCork(bool on) override;
  void StartTls() override;

 protected:
  void HandleWindowMessage(TMessage& msg) override;
  void ResetDefaults() override;
  void ForgetConnectionData() override;
  void TransportChanged() override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  std::int32_t QueryRcvdCount() override;
  std::int32_t LayersHold() override;
  int RecvRaw(void* buffer, int size, int flags) override;

  bool DataPassesThrough() const {
    return !FCompress.Active && TCustomTlsWSocket::DataPassesThrough();
  }

  TCompressSession FCompress;
  std::int64_t FPlainSent = 0;
  std::int64_t FPackedSent = 0;

 private:
  // Inflates into `out` (at most `room` bytes), reading one piece from the
  // layer below when no compressed input is held. The bytes produced; 0 with
  // nothing more for now (or the end, see BelowEnded), -1 on a corrupt
  // stream.
  int Inflate(char* out, std::size_t room);
  // With nothing inflated held, inflates a few bytes ahead, to learn that
  // the input gives anything; the bytes now unread.
  std::size_t FillPlain();
  // A count for RcvdCount: what is inflated, and a guess for the rest.
  std::int32_t Waiting() const;
  // Nothing is held to inflate, and the layer below is known to hold
  // nothing either.
  bool NothingToInflate() const;
  // Deflates `length` bytes with the flush the cork asks for and sends the
  // result below.
  bool Deflate(const char* data, std::size_t length, bool flush);
  // The stream failed, or the peer ended it: the close is reported from the
  // event loop, once what came before has been read.
  void NoteEnded();
  // The error a stream that the layer below ended with gives its reader.
  int EndError() const;
  void DropCompression();
};
