// DEFLATE between TLS and line mode: zlib's raw streams, inflated as the
// application reads, deflated with a sync flush per send unless corked.
#include "net/WSocketCompress.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

// What one read from the layer below takes: a TLS record's worth or a
// socket read's, the same order as the layers below read themselves.
constexpr std::size_t kRawPiece = 65536;
// What is inflated ahead of a read only to learn that the input gives
// anything at all (no event for half a block): a few bytes, copied once.
// Reads inflate straight into the caller's buffer.
constexpr std::size_t kProbe = 256;
// RcvdCount's guess for what the stream still holds after an inflate that
// filled its room: a read's worth.
constexpr std::size_t kPendingGuess = 65536;
// Raw DEFLATE, no zlib or gzip wrapper, the largest window.
constexpr int kWindowBits = -15;
// Level 6 (zlib's default) saves nearly as much as 9 on news text at a
// third of the time, and deflate runs on every send.
constexpr int kLevel = 6;

}  // namespace

struct TDeflateStream {
  z_stream z{};
  bool ready = false;
  ~TDeflateStream() {
    if (ready) deflateEnd(&z);
  }
};

TCompressSession::TCompressSession() = default;
TCompressSession::~TCompressSession() = default;
TCompressSession::TCompressSession(TCompressSession&&) noexcept = default;
TCompressSession& TCompressSession::operator=(TCompressSession&&) noexcept = default;

TCustomCompressWSocket::TCustomCompressWSocket(TComponent* owner) : TCustomTlsWSocket(owner) {}

TCustomCompressWSocket::~TCustomCompressWSocket() = default;

void TCustomCompressWSocket::DropCompression() {
  FCompress = TCompressSession{};
  FPlainSent = FPackedSent = 0;
}

void TCustomCompressWSocket::ResetDefaults() {
  TCustomTlsWSocket::ResetDefaults();
  DropCompression();
}

void TCustomCompressWSocket::ForgetConnectionData() {
  DropCompression();
  TCustomTlsWSocket::ForgetConnectionData();
}

void TCustomCompressWSocket::TransportChanged() {
  // What was inflated under the old transport goes with it (compression
  // starts with fresh streams).
  FCompress.PlainStart = FCompress.PlainEnd = 0;
  TCustomTlsWSocket::TransportChanged();
}

void TCustomCompressWSocket::StartCompress() {
  if (FState != wsConnected || FSocketHandle == INVALID_SOCKET)
    return RaiseError("StartCompress: not connected", plat::WSAENOTCONN);
  if (FCompress.Active || Negotiating())
    return RaiseError("StartCompress: compression already in use or TLS negotiating",
                      plat::WSAEINVAL);
  auto in = std::make_unique<TInflateStream>();
  auto out = std::make_unique<TDeflateStream>();
  out->ready =
      deflateInit2(&out->z, kLevel, Z_DEFLATED, kWindowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  if (!in->Ready() || !out->ready)
    return RaiseError("StartCompress: out of memory", plat::WSAENOBUFS);
  // Bytes that came before are no part of the compressed stream: never
  // inflated, never handed out as if they were.
  TransportChanged();
  FCompress.In = std::move(in);
  FCompress.Out = std::move(out);
  FCompress.Active = true;
  Trace("compression: DEFLATE both ways from here on");
}

void TCustomCompressWSocket::StartTls() {
  // TLS under a compressed stream would take its records for compressed
  // text (and RFC 8054 forbids the order anyway).
  if (FCompress.Active) return RaiseError("StartTls: compression in use", plat::WSAEINVAL);
  TCustomTlsWSocket::StartTls();
}

void TCustomCompressWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg != MsgCompressEnded) return TCustomTlsWSocket::HandleWindowMessage(msg);
  if (msg.WParam != FSocketHandle || static_cast<std::uintptr_t>(msg.LParam) != ConnectionSerial())
    return;
  try {
    const std::uint16_t error = FCompress.Corrupt ? kCompressErrorCorrupt : 0;
    TMessage close{MsgSocketEvent, FSocketHandle, plat::PackNotification(plat::kFdClose, error), 0};
    HandleSocketNotification(close);
  } catch (const std::exception& e) {
    HandleEventException(e);
  }
}

void TCustomCompressWSocket::NoteEnded() {
  if (FCompress.EndPosted || FSocketHandle == INVALID_SOCKET) return;
  FCompress.EndPosted = plat::PostWindowMessage(FNotifyWindow, MsgCompressEnded, FSocketHandle,
                                                static_cast<std::intptr_t>(ConnectionSerial()));
}

int TCustomCompressWSocket::EndError() const {
  const TCompressSession& c = FCompress;
  if (c.BelowError != 0) return c.BelowError;
  // The connection ended, not the stream: between blocks that is an orderly
  // end, inside one the last block was cut short.
  return c.In && !c.In->BetweenBlocks() ? kCompressErrorTruncated : 0;
}

void TCustomCompressWSocket::FireSessionClosed(std::uint16_t error) {
  // The peer's close (the socket is still open), with everything it sent
  // read: a stream cut inside a block is no orderly end.
  if (FCompress.Active && error == 0 && FState != wsClosed && FCompress.BelowEnded &&
      !FCompress.Corrupt && !FCompress.In->Ended()) {
    error = static_cast<std::uint16_t>(EndError());
  }
  TCustomTlsWSocket::FireSessionClosed(error);
}

// ---- receiving -----------------------------------------------------------------

int TCustomCompressWSocket::Inflate(char* out, std::size_t room) {
  TCompressSession& c = FCompress;
  TInflateStream& in = *c.In;
  std::size_t produced = in.Inflate(out, room);
  while (produced == 0 && room > 0 && !in.Corrupt() && !in.Ended()) {
    if (in.InputHeld() == 0) {
      if (c.BelowEnded) break;
      int n = TCustomTlsWSocket::RecvRaw(in.InputArea(kRawPiece), static_cast<int>(kRawPiece), 0);
      in.InputArrived(n > 0 ? static_cast<std::size_t>(n) : 0);
      if (n == 0) c.BelowEnded = true;
      if (n < 0) {
        int error = wsock::WSAGetLastError();
        if (error != plat::WSAEWOULDBLOCK) {
          c.BelowEnded = true;
          c.BelowError = error;
        }
      }
      if (n <= 0) break;
    }
    produced = in.Inflate(out, room);
  }
  c.OutputFull = produced == room;
  // The peer ended its stream: nothing it sends after can be read, and the
  // connection closes once what came before is read.
  if (in.Ended()) {
    c.BelowEnded = true;
    NoteEnded();
  }
  // What inflated before a fault is still the peer's: handed out, then the
  // close with the error.
  if (in.Corrupt()) {
    c.Corrupt = true;
    NoteEnded();
  }
  if (produced == 0 && c.Corrupt) return -1;
  return static_cast<int>(produced);
}

std::size_t TCustomCompressWSocket::FillPlain() {
  TCompressSession& c = FCompress;
  if (c.Unread() > 0) return c.Unread();
  if (c.Plain.size() < kProbe) c.Plain.resize(kProbe);
  c.PlainStart = c.PlainEnd = 0;
  int n = Inflate(c.Plain.data(), kProbe);
  if (n > 0) c.PlainEnd = static_cast<std::size_t>(n);
  return c.Unread();
}

std::int32_t TCustomCompressWSocket::Waiting() const {
  const TCompressSession& c = FCompress;
  std::size_t guess = c.Unread() + c.RawUnread() + (c.OutputFull ? kPendingGuess : 0);
  return static_cast<std::int32_t>(std::min<std::size_t>(guess, INT32_MAX));
}

bool TCustomCompressWSocket::FireDataAvailable(std::uint16_t error) {
  if (!FCompress.Active || error != 0) return TCustomTlsWSocket::FireDataAvailable(error);
  // Nothing more comes after a fault; the close is on its way.
  if (FCompress.Corrupt && FCompress.Unread() == 0) return false;
  // Nothing inflated yet (half a block came): nothing for the application.
  // The count asked is the most derived one, so that a line the layer above
  // holds is still handed out.
  if (FillPlain() == 0 && QueryRcvdCount() <= 0) return true;
  return OfferHeld([this] { return FCompress.Unread(); },
                   [this] { return TCustomWSocket::FireDataAvailable(0); });
}

std::int32_t TCustomCompressWSocket::LayersHold() {
  // Exactly what is inflated and unread. Compressed bytes may inflate to
  // nothing (a flush, the final block) or to far more, so they are not
  // counted: with none inflated, a few are inflated ahead to learn which.
  // Nothing then means nothing: no byte of the stream's is left for the
  // application.
  const std::size_t held = FCompress.Active ? FillPlain() : 0;
  return static_cast<std::int32_t>(held) + TCustomTlsWSocket::LayersHold();
}

bool TCustomCompressWSocket::NothingToInflate() const {
  const TCompressSession& c = FCompress;
  // No input held, no output pending in the stream, and the socket right
  // below (no TLS, no SOCKS bytes) emptied by its last read with no
  // notification since: an inflate would only read there to be told
  // WSAEWOULDBLOCK.
  return c.RawUnread() == 0 && !c.OutputFull && !c.BelowEnded && !c.Corrupt && FSocketEmpty &&
         TCustomTlsWSocket::DataPassesThrough();
}

std::int32_t TCustomCompressWSocket::QueryRcvdCount() {
  if (!FCompress.Active) return TCustomTlsWSocket::QueryRcvdCount();
  if (FCompress.Unread() > 0) return FHeldStalled ? 0 : Waiting();
  // After each piece the application reads, the delivery asks this: known
  // to be nothing without a system call, as the socket below knows it.
  if (NothingToInflate()) return 0;
  // Whether the input gives anything (held, pending in the stream from a
  // long match, or waiting below) is known only by inflating: a few bytes
  // ahead of the reader, no more.
  if (!FHeldStalled && FillPlain() > 0) return Waiting();
  if (FCompress.Corrupt || FCompress.BelowEnded) return 0;
  // Compressed bytes below that gave nothing yet: the delivery goes on.
  return TCustomTlsWSocket::QueryRcvdCount();
}

int TCustomCompressWSocket::RecvRaw(void* buffer, int size, int flags) {
  if (!FCompress.Active) return TCustomTlsWSocket::RecvRaw(buffer, size, flags);
  TCompressSession& c = FCompress;
  if (size > 0) {
    auto* out = static_cast<char*>(buffer);
    std::size_t taken = std::min(static_cast<std::size_t>(size), c.Unread());
    std::memcpy(out, c.Plain.data() + c.PlainStart, taken);
    c.PlainStart += taken;
    // The rest inflates straight into the reader's buffer, one copy less;
    // past what is held the layer below is read only for a read that has
    // nothing yet.
    if (taken < static_cast<std::size_t>(size) &&
        (taken == 0 || c.RawUnread() > 0 || c.OutputFull)) {
      int more = Inflate(out + taken, static_cast<std::size_t>(size) - taken);
      if (more > 0) taken += static_cast<std::size_t>(more);
    }
    if (taken > 0) return static_cast<int>(taken);
    if (c.BelowEnded && !c.Corrupt) {
      const int error = c.In->Ended() ? 0 : EndError();
      if (error == 0) return 0;
      wsock::WSASetLastError(error);
      return -1;
    }
  }
  wsock::WSASetLastError(c.Corrupt ? kCompressErrorCorrupt : plat::WSAEWOULDBLOCK);
  return -1;
}

// ---- sending ---------------------------------------------------------------------

bool TCustomCompressWSocket::Deflate(const char* data, std::size_t length, bool flush) {
  z_stream& z = FCompress.Out->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(length);
  std::string packed;
  char chunk[16384];
  do {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    int rc = deflate(&z, flush ? Z_SYNC_FLUSH : Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
    packed.append(chunk, sizeof chunk - z.avail_out);
  } while (z.avail_in > 0 || z.avail_out == 0);
  FPlainSent += static_cast<std::int64_t>(length);
  FPackedSent += static_cast<std::int64_t>(packed.size());
  // An empty send still moves the send queue on, so that OnDataSent comes
  // for a piece the stream kept.
  return TCustomTlsWSocket::Send(packed.data(), static_cast<int>(packed.size())) >= 0;
}

int TCustomCompressWSocket::Send(const void* data, int length) {
  if (!FCompress.Active || FState != wsConnected) return TCustomTlsWSocket::Send(data, length);
  if (length < 0) length = 0;
  if (!Deflate(static_cast<const char*>(data), static_cast<std::size_t>(length),
               !FCompress.Corked)) {
    wsock::WSASetLastError(plat::WSAECONNABORTED);
    ReportSocketError("Send");
    return -1;
  }
  return length;
}

void TCustomCompressWSocket::SetTcpCork(bool on) {
  if (FCompress.Active && FState == wsConnected) {
    const bool wasCorked = FCompress.Corked;
    FCompress.Corked = on;
    // What the stream kept while corked goes out now, before the cork comes
    // off the socket below.
    if (wasCorked && !on) Deflate(nullptr, 0, true);
  }
  TCustomTlsWSocket::SetTcpCork(on);
}
