// The SOCKS negotiation on the socket's events: greeting, optional user
// name/password, connect request, reply, surplus.
#include "net/WSocketSocks.h"

#include <algorithm>
#include <cstring>

namespace {

std::string ClassName(const std::exception& e) {
  return dynamic_cast<const ESocketException*>(&e) != nullptr ? "ESocketException" : "Exception";
}

}  // namespace

// The layer's fields start at their defaults through TSocksProxyState.
TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {}

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  // The settings stay: a proxy, once given, is used until the caller
  // clears it (see the top of the header).
  FSocks.ForgetNegotiation();
}

void TCustomSocksWSocket::ForgetConnectionData() {
  // The surplus and a half-read reply belong to the connection that ended;
  // so does a negotiation under way.
  FSocks.ForgetNegotiation();
  TCustomWSocket::ForgetConnectionData();
}

socks::Level TCustomSocksWSocket::LevelOf() const {
  if (FSocks.Level == "4") return socks::Level::k4;
  if (FSocks.Level == "4A") return socks::Level::k4A;
  return socks::Level::k5;
}

// ---- settings ------------------------------------------------------------------

void TCustomSocksWSocket::AssignSocksLevel(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks level if not closed", plat::WSAEINVAL);
  if (value != "4" && value != "5" && value != "4A" && value != "4a")
    return RaiseError("Invalid socks level. Must be 4, 4A or 5.", plat::WSAEINVAL);
  FSocks.Level = UpperCase(value);
}

void TCustomSocksWSocket::AssignSocksServer(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks server if not closed", plat::WSAEINVAL);
  FSocks.Server = Trim(value);
}

void TCustomSocksWSocket::AssignSocksPort(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks port if not closed", plat::WSAEINVAL);
  FSocks.Port = Trim(value);
}

// ---- connecting ------------------------------------------------------------------

void TCustomSocksWSocket::Connect() {
  FinishCloseUnderWay();  // before this layer sets up the new connection
  // Whatever the core refuses (a socket in use, no address or port) it
  // refuses before this layer has changed anything.
  bool inUse = FSocketHandle != INVALID_SOCKET && FState != wsClosed;
  if (!FSocks.InUse() || inUse || !FPort.Assigned || !FAddr.Assigned || !FProto.Assigned)
    return TCustomWSocket::Connect();
  if (!SameText(FProto.Text, "tcp"))
    return RaiseError("tcp is the only protocol supported thru socks server", plat::WSAEINVAL);
  // A field that does not fit the request is refused now, before anything
  // goes on the wire, rather than cut short or wrapped in a length byte.
  std::string misfit = socks::CheckFields(LevelOf(), FAddr.Text, FSocks.Usercode, FSocks.Password,
                                          FSocks.Authentication == socksAuthenticateUsercode);
  if (!misfit.empty()) return RaiseError("connect: " + misfit, plat::WSAEINVAL);
  try {
    // The proxy's endpoint stays here; the core's Addr and Port are the
    // destination's, and the destination's name is never resolved here
    // (but for SOCKS 4, when the request is made).
    FSocks.ProxyPort = WSocketResolvePort(FSocks.Port, FProto.Text);
    FSocks.ProxyAddrs = WSocketResolveHostList(FSocks.Server, FSocketFamily);
    // A local address of one family ties the connection to the proxy to
    // that family, as it ties a direct one.
    if (const int family = LocalFamily()) {
      std::erase_if(FSocks.ProxyAddrs,
                    [family](const TSocketAddress& a) { return a.Family() != family; });
      if (FSocks.ProxyAddrs.empty()) {
        throw ESocketException("WSocketResolveHost: '" + FSocks.Server +
                                   "' has no address of the family of '" + FLocalAddr + "'",
                               plat::WSAEAFNOSUPPORT);
      }
    }
    for (TSocketAddress& a : FSocks.ProxyAddrs) a.SetPort(FSocks.ProxyPort);
    FSocks.DestPort = WSocketResolvePort(FPort.Text, FProto.Text);
  } catch (const Exception& e) {
    const auto* socketError = dynamic_cast<const ESocketException*>(&e);
    int error = socketError != nullptr && socketError->ErrorCode() != 0 ? socketError->ErrorCode()
                                                                        : plat::WSAEINVAL;
    return RaiseError("connect: " + e.Message(), error);
  }
  FSocks.ForgetNegotiation();
  FSocks.Phase = socksNegotiateMethod;
  TCustomWSocket::Connect();  // to the proxy: see RouteConnection
}

bool TCustomSocksWSocket::RouteConnection(TSocketAddressList& remote) {
  if (FSocks.Phase != socksNegotiateMethod) return TCustomWSocket::RouteConnection(remote);
  remote = FSocks.ProxyAddrs;
  return true;
}

void TCustomSocksWSocket::Listen() {
  if (FSocks.InUse())
    return RaiseError("Listening is not supported thru socks server", plat::WSAEINVAL);
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t error) {
  if (FSocks.Phase != socksNegotiateMethod) return TCustomWSocket::FireSessionConnected(error);
  FireSocksConnected(error);
  if (error == 0) {
    Trace("SOCKS " + FSocks.Level + " proxy " + FSocks.Server + " reached: asking it for " +
          FAddr.Text + " port " + std::to_string(FSocks.DestPort));
  }
  if (error != 0) {
    FSocks.Phase = socksIdle;
    return TCustomWSocket::FireSessionConnected(error);
  }
  if (LevelOf() != socks::Level::k5) return SendSocksRequest();
  FSocks.Method = FSocks.Authentication == socksAuthenticateUsercode ? 2 : 0;
  SendNegotiation(socks::Greeting(FSocks.Method));
}

void TCustomSocksWSocket::SendNegotiation(const std::string& bytes) {
  // A connection lost inside this send is reported by FireSessionClosed,
  // which this flag tells that the negotiation was cut short.
  FSocks.SendingNegotiation = true;
  try {
    Send(bytes.data(), static_cast<int>(bytes.size()));
  } catch (const std::exception&) {
  }
  FSocks.SendingNegotiation = false;
}

void TCustomSocksWSocket::SendSocksAuth() {
  FSocks.Phase = socksAuthenticating;
  FireSocksAuthState(socksAuthStarted);
  SendNegotiation(socks::AuthRequest(FSocks.Usercode, FSocks.Password));
}

void TCustomSocksWSocket::SendSocksRequest() {
  FSocks.Phase = socksWaitConnectReply;
  std::uint32_t address = 0;
  if (LevelOf() == socks::Level::k4) {
    try {
      address = WSocketResolveHost(FAddr.Text);
    } catch (const std::exception& e) {
      return FailSocks(20017, ClassName(e) + " " + e.what());
    }
  }
  // An IPv6 destination goes to a SOCKS 5 server as an address, not a name
  // it would have to resolve.
  TSocketAddress ipv6;
  if (LevelOf() == socks::Level::k5 && WSocketLooksLikeIPv6(FAddr.Text)) {
    try {
      ipv6 = WSocketResolveHostList(FAddr.Text, sfIPv6).front();
    } catch (const std::exception& e) {
      return FailSocks(20017, ClassName(e) + " " + e.what());
    }
  }
  plat::TSockAddrIn6 in6{};
  if (ipv6.IsIPv6()) std::memcpy(&in6, &ipv6.Storage, sizeof in6);
  SendNegotiation(socks::ConnectRequest(LevelOf(), FSocks.DestPort, address, FSocks.Usercode,
                                        FAddr.Text,
                                        ipv6.IsIPv6() ? in6.sin6_addr.s6_bytes : nullptr));
}

void TCustomSocksWSocket::FailSocks(std::int32_t code, const std::string& text) {
  Trace("SOCKS proxy: " + text);
  const TConnectionMark connection = MarkConnection();
  FireSocksError(code, text);
  // A handler that connected again (to another proxy, say): nothing below
  // is about the connection it has now.
  if (ConnectionReplaced(connection)) return;
  FSocks.Phase = socksIdle;
  FireSessionConnected(static_cast<std::uint16_t>(code));
  if (!ConnectionEnded(connection)) DoClose(true, static_cast<std::uint16_t>(code));
}

// ---- replies ---------------------------------------------------------------------

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t error) {
  if (FSocks.Phase == socksIdle) {
    return OfferHeld([this] { return FSocks.SurplusCount; },
                     [this, error] { return TCustomWSocket::FireDataAvailable(error); });
  }
  if (error != 0) {
    FailSocks(error, "data receive error");
    return false;
  }
  return Negotiate();
}

bool TCustomSocksWSocket::Negotiate() {
  const bool level5 = LevelOf() == socks::Level::k5;
  if (FSocks.Phase == socksNegotiateMethod && !level5) {
    FailSocks(20001, "TWSocket logic error");
    return true;
  }
  // A SOCKS 4 reply is read alone: what follows it stays in the socket.
  int room = FSocks.Phase == socksWaitConnectReply && !level5
                 ? 8 - FSocks.ReplyCount
                 : socks::kReplyArea - FSocks.ReplyCount;
  // The core's own receive: negotiation bytes are not data the application
  // received, so they are not counted in ReadCount.
  int n = TCustomWSocket::RecvRaw(FSocks.Reply.data() + FSocks.ReplyCount, room, 0);
  if (n < 0) {
    FLastError = wsock::WSAGetLastError();
    return true;
  }
  if (n == 0) return true;  // the proxy closed; FD_CLOSE reports it
  FSocks.ReplyCount += n;
  const std::uint8_t* r = FSocks.Reply.data();
  socks::Verdict v;
  switch (FSocks.Phase) {
    case socksNegotiateMethod:
      v = socks::JudgeMethodReply(r, FSocks.ReplyCount);
      break;
    case socksAuthenticating:
      v = socks::JudgeAuthReply(r, FSocks.ReplyCount);
      break;
    case socksWaitConnectReply:
      v = level5 ? socks::JudgeSocks5Reply(r, FSocks.ReplyCount)
                 : socks::JudgeSocks4Reply(r, FSocks.ReplyCount);
      break;
    default:
      FailSocks(20013, "internal error");
      return false;
  }
  if (v.kind == socks::Verdict::kNeedMore) return true;
  if (v.kind == socks::Verdict::kFailed) {
    FailSocks(v.code, v.text);
    return true;
  }
  switch (FSocks.Phase) {
    case socksNegotiateMethod:
      FSocks.ReplyCount = 0;  // anything behind the method reply is dropped
      if (v.method == 2) {
        // Only when offered: a request for it was checked to fit.
        if (FSocks.Method != 2) {
          FailSocks(20003, "authentification method not acceptable");
          return true;
        }
        SendSocksAuth();
      } else {
        if (FSocks.Method == 2) FireSocksAuthState(socksAuthNotNeeded);
        SendSocksRequest();
      }
      return true;
    case socksAuthenticating:
      FSocks.ReplyCount = 0;
      FireSocksAuthState(socksAuthSucceeded);
      SendSocksRequest();
      return true;
    default:
      return NegotiationSucceeded(v);
  }
}

bool TCustomSocksWSocket::NegotiationSucceeded(const socks::Verdict& v) {
  FSocks.BoundAddr = v.boundAddr;
  FSocks.BoundPort = v.boundPort;
  // The surplus is in place before the application hears of the
  // connection, so that a handler reading at once gets it first.
  FSocks.SurplusCount = FSocks.ReplyCount - v.length;
  FSocks.SurplusStart = v.length;
  FSocks.ReplyCount = 0;
  FSocks.Phase = socksIdle;
  Trace("SOCKS proxy: connected through to " + FAddr.Text);
  const TConnectionMark connection = MarkConnection();
  FireSessionConnected(0);
  if (ConnectionEnded(connection) || FState != wsConnected) return true;  // closed by the handler
  // The core goes on handing out the surplus, a piece per message, while
  // QueryRcvdCount counts it.
  return FireDataAvailable(0);
}

std::int32_t TCustomSocksWSocket::QueryRcvdCount() {
  if (FSocks.SurplusCount > 0 && !FHeldStalled) return FSocks.SurplusCount;
  return TCustomWSocket::QueryRcvdCount();
}

std::int32_t TCustomSocksWSocket::LayersHold() {
  return std::max(FSocks.SurplusCount, 0) + TCustomWSocket::LayersHold();
}

void TCustomSocksWSocket::TransportChanged() {
  FSocks.SurplusCount = FSocks.SurplusStart = 0;
  TCustomWSocket::TransportChanged();
}

int TCustomSocksWSocket::RecvRaw(void* buffer, int size, int flags) {
  if (FSocks.SurplusCount <= 0) return TCustomWSocket::RecvRaw(buffer, size, flags);
  int n = std::min(size, FSocks.SurplusCount);
  if (n <= 0) return 0;
  std::memcpy(buffer, FSocks.Reply.data() + FSocks.SurplusStart, static_cast<std::size_t>(n));
  FSocks.SurplusStart += n;
  FSocks.SurplusCount -= n;
  return n;
}

// ---- the end of a connection ------------------------------------------------------

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t error) {
  // The proxy closed (or the connection broke) with the negotiation under
  // way: for the application that is a connection that failed, so it gets
  // its one OnSessionConnected with a code before the close. A close the
  // application asked for (the state is already closed) is only a close.
  bool cutShort = (FSocks.Phase != socksIdle && FState != wsClosed) || FSocks.SendingNegotiation;
  const TConnectionMark connection = MarkConnection();
  if (FSocks.Phase == socksAuthenticating) FireSocksAuthState(socksAuthFailed);
  if (ConnectionReplaced(connection)) return;
  FSocks.Phase = socksIdle;
  if (cutShort) {
    FSocks.SendingNegotiation = false;
    std::string text = "connection closed during socks negotiation";
    if (error != 0) text += " (error #" + IntToStr(error) + ")";
    FireSocksError(kSocksClosedDuringNegotiation, text);
    if (ConnectionReplaced(connection)) return;
    TCustomWSocket::FireSessionConnected(kSocksClosedDuringNegotiation);
    // A handler that connected again: the close is not the new connection's.
    if (ConnectionReplaced(connection)) return;
  }
  TCustomWSocket::FireSessionClosed(error);
}

// ---- events ----------------------------------------------------------------------

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t error) {
  if (OnSocksConnected) OnSocksConnected(this, error);
}

void TCustomSocksWSocket::FireSocksError(std::int32_t error, const std::string& msg) {
  if (OnSocksError) OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState state) {
  if (OnSocksAuthState) OnSocksAuthState(this, state);
}
