// TLS between the SOCKS layer and line mode: the handshake on the socket's
// own events, plain text in and out, close_notify on both sides.
#include "net/WSocketTls.h"

#include <algorithm>
#include <cstring>

namespace {

// The most taken from the layer below per piece: a few full records, and
// the same order as the core's own reads.
constexpr int kRawChunk = 65536;

}  // namespace

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {}

TCustomTlsWSocket::~TCustomTlsWSocket() = default;

plat::TlsClientSettings TCustomTlsWSocket::TlsTarget() const {
  const std::string& name = FTlsServerName.empty() ? FAddr.Text : FTlsServerName;
  plat::TlsClientSettings target{name, FTlsCaFile, {}};
  const bool dotted = name.find_first_of("0123456789") != std::string::npos &&
                      name.find_first_not_of("0123456789.") == std::string::npos;
  if (!dotted && !WSocketLooksLikeIPv6(name)) return target;
  // An address: what the resolver reads it as (leading zeros octal, IPv6
  // zeros compressed) is what was connected to, so that is what the
  // certificate must name. A scope is this machine's, no part of it.
  try {
    TSocketAddress a = WSocketResolveHostList(name, sfAny).front();
    if (a.IsIPv6()) {
      plat::TSockAddrIn6 in6;
      std::memcpy(&in6, &a.Storage, sizeof in6);
      in6.sin6_scope_id = 0;
      std::memcpy(&a.Storage, &in6, sizeof in6);
      target.address.assign(reinterpret_cast<const char*>(in6.sin6_addr.s6_bytes), 16);
    } else {
      std::uint32_t v4 = a.IPv4();
      target.address.assign(reinterpret_cast<const char*>(&v4), 4);
    }
    target.serverName = WSocketAddressText(a);
  } catch (const std::exception&) {
  }
  return target;
}

void TCustomTlsWSocket::DropSession() {
  FTls = TTlsSession{};
  ++FTlsSerial;
}

void TCustomTlsWSocket::ResetDefaults() {
  TCustomSocksWSocket::ResetDefaults();
  DropSession();
}

void TCustomTlsWSocket::ForgetConnectionData() {
  DropSession();
  TCustomSocksWSocket::ForgetConnectionData();
}

// ---- starting ------------------------------------------------------------------

void TCustomTlsWSocket::FireSessionConnected(std::uint16_t error) {
  // The connection to a SOCKS proxy is not the destination's yet, and a
  // failed connection has nothing to secure.
  if (!FTlsEnabled || error != 0 || SocksState() != socksIdle || FTls.Phase != TTlsPhase::kOff ||
      FSocketType != plat::kSockStream) {
    return TCustomSocksWSocket::FireSessionConnected(error);
  }
  BeginTls(TTlsPhase::kConnecting);
}

void TCustomTlsWSocket::StartTls() {
  if (FState != wsConnected || FSocketHandle == INVALID_SOCKET)
    return RaiseError("StartTls: not connected", plat::WSAENOTCONN);
  if (FTls.Phase != TTlsPhase::kOff || SocksState() != socksIdle)
    return RaiseError("StartTls: TLS already in use", plat::WSAEINVAL);
  // Whatever arrived in clear and was not read yet (behind the server's
  // go-ahead, in the same segment, say) could be anyone's: never handed out
  // as if it came through TLS.
  TransportChanged();
  BeginTls(TTlsPhase::kUpgrading);
}

void TCustomTlsWSocket::BeginTls(TTlsPhase phase) {
  DropSession();
  FTls.Phase = phase;
  AckPromptly();
  FTls.Engine = plat::NewTlsClient(TlsTarget());
  // Only sockets that use TLS pay for the read area.
  if (!FRawChunk) FRawChunk = std::make_unique<char[]>(kRawChunk);
  std::string hello;
  int error = FTls.Engine->Start(hello);
  if (error == 0) return SendRecords(hello);
  if (phase == TTlsPhase::kConnecting) return HandshakeFailed(error);
  // StartTls reports from the event loop, never inside the call.
  plat::PostWindowMessage(FNotifyWindow, MsgTlsStartFailed, FSocketHandle,
                          static_cast<std::intptr_t>(FTlsSerial) << 16 | error);
}

void TCustomTlsWSocket::SendRecords(const std::string& records) {
  if (records.empty() || FState != wsConnected) return;
  TCustomSocksWSocket::Send(records.data(), static_cast<int>(records.size()));
}

void TCustomTlsWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg != MsgTlsEnded && msg.Msg != MsgTlsStartFailed)
    return TCustomSocksWSocket::HandleWindowMessage(msg);
  try {
    auto handle = static_cast<TSocketHandle>(msg.WParam);
    auto serial = static_cast<std::uint16_t>(static_cast<std::uintptr_t>(msg.LParam) >> 16);
    if (handle != FSocketHandle || serial != FTlsSerial) return;  // another connection's
    if (msg.Msg == MsgTlsStartFailed) {
      HandshakeFailed(static_cast<int>(msg.LParam & 0xFFFF));
      return;
    }
    // The peer's end of the session is handled as the peer's close: what is
    // held is handed out, then OnSessionClosed, then the socket's close.
    FTls.EndPosted = false;
    TMessage close{MsgSocketEvent, FSocketHandle,
                   plat::PackNotification(plat::kFdClose, static_cast<std::uint16_t>(FTls.Failure)),
                   0};
    HandleSocketNotification(close);
  } catch (const std::exception& e) {
    HandleEventException(e);
  }
}

// ---- the handshake ----------------------------------------------------------------

int TCustomTlsWSocket::PullRecords() {
  if (!FTls.Engine || FTls.RawEnd || FTls.Failure != 0) return 0;
  int n = TCustomSocksWSocket::RecvRaw(FRawChunk.get(), kRawChunk, 0);
  if (n == 0) {
    FTls.RawEnd = true;
    // Reported as the peer's close even if the socket's own notice of it
    // was taken by an earlier read.
    if (FTls.Phase == TTlsPhase::kActive) NoteEnded();
  }
  if (n <= 0) return n;
  // A peer whose first bytes are no TLS record (a content type 20 to 24,
  // then version 3) does not speak TLS: the handshake fails now, not when
  // the connection times out. Some engines take a plain greeting for the
  // head of a record and wait for the kilobytes it seems to announce.
  for (int i = 0; i < n && FTls.HeadChecked < 2; ++i) {
    const auto b = static_cast<unsigned char>(FRawChunk[i]);
    const bool tls = FTls.HeadChecked++ == 0 ? b >= 20 && b <= 24 : b == 3;
    if (!tls) {
      FTls.Failure = kTlsErrorHandshake;
      return n;
    }
  }
  // TLS servers often answer in several small writes (a handshake's last
  // records, session tickets, then the greeting), each after the first held
  // back until the one before is acknowledged: no delayed acknowledgement.
  AckPromptly();
  std::string out;
  std::size_t before = FTls.Plain.size();
  int error = FTls.Engine->Receive(FRawChunk.get(), static_cast<std::size_t>(n), out, FTls.Plain);
  if (FTls.Plain.size() > before) FHeldStalled = false;
  SendRecords(out);
  if (error != 0) FTls.Failure = error;
  if (FTls.Phase == TTlsPhase::kActive && (FTls.Failure != 0 || FTls.Engine->PeerClosed()))
    NoteEnded();
  return n;
}

void TCustomTlsWSocket::HandshakeStep() {
  const TConnectionMark connection = MarkConnection();
  PullRecords();
  if (ConnectionEnded(connection)) return;
  if (FTls.Failure != 0) return HandshakeFailed(FTls.Failure);
  if (FTls.Engine->Established()) return HandshakeDone();
  // Otherwise more is to come; a peer that closed in the middle is
  // reported by the FD_CLOSE that follows.
}

void TCustomTlsWSocket::HandshakeDone() {
  const bool upgrade = FTls.Phase == TTlsPhase::kUpgrading;
  // Asked of the engine only when someone listens: it reads the certificate.
  if (OnTrace) Trace(FTls.Engine->Summary());
  FTls.Phase = TTlsPhase::kActive;
  if (!FTls.Pending.empty()) {
    std::string pending;
    pending.swap(FTls.Pending);
    Send(pending.data(), static_cast<int>(pending.size()));
  }
  const TConnectionMark connection = MarkConnection();
  if (upgrade) {
    FireTlsDone(0);
  } else {
    TCustomSocksWSocket::FireSessionConnected(0);
  }
  if (ConnectionEnded(connection) || FState != wsConnected) return;  // closed by the handler
  if (FTls.Engine->PeerClosed()) return NoteEnded();
  // Data that came with the handshake's last records (a server that speaks
  // first) goes out now, through the layers above, as an arrival would.
  if (FTls.Unread() > 0) FireDataAvailable(0);
}

void TCustomTlsWSocket::HandshakeFailed(int error) {
  const bool upgrade = FTls.Phase == TTlsPhase::kUpgrading;
  Trace(SocketErrorText(error));
  // The session is over before it began: nothing more goes through it,
  // and the close sends no close_notify. Until the close, nothing goes out
  // at all: a send from the failure's handler must not reach the peer in
  // clear.
  DropSession();
  FTls.Phase = TTlsPhase::kFailed;
  FTls.Failure = error;
  auto code = static_cast<std::uint16_t>(error);
  const TConnectionMark connection = MarkConnection();
  if (upgrade) {
    FireTlsDone(code);
  } else {
    TCustomSocksWSocket::FireSessionConnected(code);
  }
  if (!ConnectionEnded(connection) && FState != wsClosed) DoClose(true, code);
}

void TCustomTlsWSocket::NoteEnded() {
  if (FTls.EndPosted) return;
  FTls.EndPosted = plat::PostWindowMessage(FNotifyWindow, MsgTlsEnded, FSocketHandle,
                                           static_cast<std::intptr_t>(FTlsSerial) << 16);
}

// ---- receiving --------------------------------------------------------------------

bool TCustomTlsWSocket::FireDataAvailable(std::uint16_t error) {
  if (FTls.Phase == TTlsPhase::kOff) return TCustomSocksWSocket::FireDataAvailable(error);
  if (FTls.Phase == TTlsPhase::kFailed) return false;  // dropped until the close
  if (TlsNegotiating()) {
    if (error != 0) {
      HandshakeFailed(kTlsErrorHandshake);
    } else {
      HandshakeStep();
    }
    return true;
  }
  if (error != 0) return TCustomSocksWSocket::FireDataAvailable(error);
  int pulled = 0;
  if (FTls.Unread() == 0) pulled = PullRecords();
  // Only a piece of a record came: nothing for the application yet. The
  // count asked is the most derived one, so that a line the layer above
  // holds is still handed out.
  if (pulled > 0 && QueryRcvdCount() <= 0) return true;
  return OfferHeld([this] { return FTls.Unread(); },
                   [this] { return TCustomSocksWSocket::FireDataAvailable(0); });
}

std::int32_t TCustomTlsWSocket::LayersHold() {
  return static_cast<std::int32_t>(FTls.Unread()) + TCustomSocksWSocket::LayersHold();
}

std::int32_t TCustomTlsWSocket::QueryRcvdCount() {
  if (FTls.Phase == TTlsPhase::kFailed) return 0;
  if (FTls.Phase != TTlsPhase::kActive) return TCustomSocksWSocket::QueryRcvdCount();
  if (FTls.Unread() > 0 && !FHeldStalled) return static_cast<std::int32_t>(FTls.Unread());
  if (FTls.RawEnd || FTls.Failure != 0) return 0;
  // Records still in the socket: the delivery goes on and decrypts them.
  return TCustomSocksWSocket::QueryRcvdCount();
}

int TCustomTlsWSocket::TakePlain(void* buffer, int size) {
  int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(size), FTls.Unread()));
  std::memcpy(buffer, FTls.Plain.data() + FTls.PlainStart, static_cast<std::size_t>(n));
  FTls.PlainStart += static_cast<std::size_t>(n);
  if (FTls.PlainStart == FTls.Plain.size()) {
    FTls.Plain.clear();
    FTls.PlainStart = 0;
  } else if (FTls.PlainStart > 65536 && FTls.PlainStart > FTls.Plain.size() / 2) {
    FTls.Plain.erase(0, FTls.PlainStart);
    FTls.PlainStart = 0;
  }
  return n;
}

int TCustomTlsWSocket::RecvRaw(void* buffer, int size, int flags) {
  if (FTls.Phase == TTlsPhase::kOff) return TCustomSocksWSocket::RecvRaw(buffer, size, flags);
  if (FTls.Phase == TTlsPhase::kActive && size > 0) {
    if (FTls.Unread() == 0) PullRecords();
    if (FTls.Unread() > 0) return TakePlain(buffer, size);
    // The end of the stream, as a plain socket reads it after the peer's
    // close, when the peer ended the session; without its close_notify
    // what came may have been cut short, which a reader must be told.
    if (FTls.Engine && FTls.Engine->PeerClosed()) return 0;
    if (FTls.RawEnd && FTls.Failure == 0) {
      wsock::WSASetLastError(kTlsErrorNoCloseNotify);
      return -1;
    }
  }
  wsock::WSASetLastError(FTls.Failure != 0 ? plat::WSAECONNABORTED : plat::WSAEWOULDBLOCK);
  return -1;
}

// ---- sending ----------------------------------------------------------------------

int TCustomTlsWSocket::Send(const void* data, int length) {
  if (FTls.Phase == TTlsPhase::kFailed) {
    wsock::WSASetLastError(FTls.Failure);
    ReportSocketError("Send");
    return -1;
  }
  if (FTls.Phase == TTlsPhase::kOff || FState != wsConnected)
    return TCustomSocksWSocket::Send(data, length);
  if (TlsNegotiating()) {
    // Sent once the session is there, in order.
    if (length > 0)
      FTls.Pending.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
    return length > 0 ? length : 0;
  }
  if (length <= 0) return TCustomSocksWSocket::Send(data, 0);
  std::string records;
  if (FTls.Engine->Send(static_cast<const char*>(data), static_cast<std::size_t>(length),
                        records) != 0) {
    wsock::WSASetLastError(plat::WSAECONNABORTED);
    ReportSocketError("Send");
    return -1;
  }
  TCustomSocksWSocket::Send(records.data(), static_cast<int>(records.size()));
  return length;
}

void TCustomTlsWSocket::FireDataSent(std::uint16_t error) {
  // The handshake's own records are not the application's data.
  if (TlsNegotiating()) return;
  TCustomSocksWSocket::FireDataSent(error);
}

// ---- the end ----------------------------------------------------------------------

void TCustomTlsWSocket::DoClose(bool shut, std::uint16_t error) {
  // An orderly close ends the session first, so that the peer can tell it
  // from a connection cut short.
  if (shut && FTls.Phase == TTlsPhase::kActive && FState == wsConnected &&
      FSocketHandle != INVALID_SOCKET && FTls.Failure == 0) {
    std::string notify;
    FTls.Engine->Shutdown(notify);
    SendRecords(notify);
  }
  TCustomSocksWSocket::DoClose(shut, error);
}

void TCustomTlsWSocket::FireSessionClosed(std::uint16_t error) {
  if (TlsNegotiating()) {
    // The peer closed, or the connection broke, in the middle of the
    // handshake: for the application that is a connection (or upgrade)
    // that failed, reported before the close. A close the application
    // asked for (the state is closed already, no error) is only a close.
    const bool upgrade = FTls.Phase == TTlsPhase::kUpgrading;
    const bool cutShort = FState != wsClosed || error != 0;
    DropSession();
    const TConnectionMark connection = MarkConnection();
    if (cutShort && upgrade) FireTlsDone(kTlsErrorHandshake);
    if (cutShort && !upgrade) TCustomSocksWSocket::FireSessionConnected(kTlsErrorHandshake);
    // A handler that connected again: the close is not the new connection's.
    if (ConnectionReplaced(connection)) return;
  } else if (FTls.Phase == TTlsPhase::kActive && error == 0 && FState != wsClosed) {
    // The peer closed: records still in the socket may hold its
    // close_notify. Without one, what arrived may have been cut short.
    while (FTls.Failure == 0 && !FTls.RawEnd && !FTls.Engine->PeerClosed() && PullRecords() > 0) {
    }
    if (FTls.Failure != 0) {
      error = static_cast<std::uint16_t>(FTls.Failure);
    } else if (!FTls.Engine->PeerClosed()) {
      error = kTlsErrorNoCloseNotify;
    }
  } else if (FTls.Phase == TTlsPhase::kActive && error == 0 && FTls.RawEnd &&
             !FTls.Engine->PeerClosed()) {
    // The application closed after reading the end of a stream that had no
    // close_notify: still a stream that may have been cut short.
    error = kTlsErrorNoCloseNotify;
  }
  TCustomSocksWSocket::FireSessionClosed(error);
}

void TCustomTlsWSocket::FireTlsDone(std::uint16_t error) {
  if (OnTlsDone) OnTlsDone(this, error);
}
