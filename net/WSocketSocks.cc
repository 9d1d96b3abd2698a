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

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {
  // The core's constructor resets only its own fields (a virtual call there
  // does not reach this layer); this layer's defaults are set here.
  SetSocksDefaults();
}

void TCustomSocksWSocket::SetSocksDefaults() {
  FSocksState = socksIdle;
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksLevel = "5";
  FSurplusCount = 0;
  FSurplusStart = 0;
  FSocksReplyCount = 0;
  FSurplusStalled = false;
  FSocksInUse = false;
}

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  SetSocksDefaults();
}

void TCustomSocksWSocket::ForgetConnectionData() {
  // The surplus and a half-read reply belong to the connection that ended;
  // so does a negotiation under way. The settings stay (a close through
  // ResetDefaults wipes them, a lost or replaced connection does not).
  FSocksState = socksIdle;
  FSocksReplyCount = 0;
  FSurplusCount = 0;
  FSurplusStart = 0;
  FSurplusStalled = false;
  TCustomWSocket::ForgetConnectionData();
}

socks::Level TCustomSocksWSocket::LevelOf() const {
  if (FSocksLevel == "4") return socks::Level::k4;
  if (FSocksLevel == "4A") return socks::Level::k4A;
  return socks::Level::k5;
}

// ---- settings ------------------------------------------------------------------

void TCustomSocksWSocket::AssignSocksLevel(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks level if not closed", plat::WSAEINVAL);
  if (value != "4" && value != "5" && value != "4A" && value != "4a")
    return RaiseError("Invalid socks level. Must be 4, 4A or 5.", plat::WSAEINVAL);
  FSocksLevel = UpperCase(value);
}

void TCustomSocksWSocket::AssignSocksServer(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks server if not closed", plat::WSAEINVAL);
  FSocksServer = Trim(value);
  FSocksInUse = !FSocksServer.empty();
}

void TCustomSocksWSocket::AssignSocksPort(const std::string& value) {
  if (FState != wsClosed)
    return RaiseError("Can't change socks port if not closed", plat::WSAEINVAL);
  FSocksPort = Trim(value);
}

// ---- connecting ------------------------------------------------------------------

void TCustomSocksWSocket::Connect() {
  // Whatever the core refuses (a socket in use, no address or port) it
  // refuses before this layer has changed anything.
  bool inUse = FSocketHandle != INVALID_SOCKET && FState != wsClosed;
  if (!FSocksInUse || inUse || !FPort.Assigned || !FAddr.Assigned || !FProto.Assigned)
    return TCustomWSocket::Connect();
  if (!SameText(FProto.Text, "tcp"))
    return RaiseError("tcp is the only protocol supported thru socks server", plat::WSAEINVAL);
  // A field that does not fit the request is refused now, before anything
  // goes on the wire, rather than cut short or wrapped in a length byte.
  std::string misfit = socks::CheckFields(LevelOf(), FAddr.Text, FSocksUsercode, FSocksPassword,
                                          FSocksAuthentication == socksAuthenticateUsercode);
  if (!misfit.empty()) return RaiseError("connect: " + misfit, plat::WSAEINVAL);
  try {
    // The core connects to whatever address and port are known: the proxy's.
    if (!FPort.Known) {
      FPort.Value = WSocketResolvePort(FSocksPort, FProto.Text);
      FPort.Known = true;
    }
    if (!FAddr.Known) {
      FAddr.Value = WSocketResolveHost(FSocksServer);
      FAddr.Known = true;
    }
    FSocksDestPort = WSocketResolvePort(FPort.Text, FProto.Text);
  } catch (const Exception& e) {
    const auto* socketError = dynamic_cast<const ESocketException*>(&e);
    int error = socketError != nullptr && socketError->ErrorCode() != 0 ? socketError->ErrorCode()
                                                                        : plat::WSAEINVAL;
    return RaiseError("connect: " + e.Message(), error);
  }
  FSocksState = socksNegotiateMethod;
  FSocksReplyCount = 0;
  FSurplusCount = 0;
  FSurplusStalled = false;
  TCustomWSocket::Connect();  // address and port known: the proxy's
}

void TCustomSocksWSocket::Listen() {
  if (FSocksInUse)
    return RaiseError("Listening is not supported thru socks server", plat::WSAEINVAL);
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t error) {
  if (FSocksState != socksNegotiateMethod) return TCustomWSocket::FireSessionConnected(error);
  FireSocksConnected(error);
  if (error != 0) {
    FSocksState = socksIdle;
    return TCustomWSocket::FireSessionConnected(error);
  }
  if (LevelOf() != socks::Level::k5) return SendSocksRequest();
  FSocksMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  SendNegotiation(socks::Greeting(FSocksMethod));
}

void TCustomSocksWSocket::SendNegotiation(const std::string& bytes) {
  // A connection lost inside this send is reported by FireSessionClosed,
  // which this flag tells that the negotiation was cut short.
  FSendingNegotiation = true;
  try {
    Send(bytes.data(), static_cast<int>(bytes.size()));
  } catch (const std::exception&) {
  }
  FSendingNegotiation = false;
}

void TCustomSocksWSocket::SendSocksAuth() {
  FSocksState = socksAuthenticating;
  FireSocksAuthState(socksAuthStarted);
  SendNegotiation(socks::AuthRequest(FSocksUsercode, FSocksPassword));
}

void TCustomSocksWSocket::SendSocksRequest() {
  FSocksState = socksWaitConnectReply;
  std::uint32_t address = 0;
  if (LevelOf() == socks::Level::k4) {
    try {
      address = WSocketResolveHost(FAddr.Text);
    } catch (const std::exception& e) {
      return FailSocks(20017, ClassName(e) + " " + e.what());
    }
  }
  SendNegotiation(
      socks::ConnectRequest(LevelOf(), FSocksDestPort, address, FSocksUsercode, FAddr.Text));
}

void TCustomSocksWSocket::FailSocks(std::int32_t code, const std::string& text) {
  FireSocksError(code, text);
  FSocksState = socksIdle;
  FireSessionConnected(static_cast<std::uint16_t>(code));
  DoClose(true, static_cast<std::uint16_t>(code));
}

// ---- replies ---------------------------------------------------------------------

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t error) {
  if (FSocksState == socksIdle) {
    std::int32_t before = FSurplusCount;
    bool handled = TCustomWSocket::FireDataAvailable(error);
    // A handler that took none of the surplus would be called for ever: it
    // stops counting as waiting until a read takes some.
    if (handled && before > 0 && FSurplusCount >= before) FSurplusStalled = true;
    return handled;
  }
  if (error != 0) {
    FailSocks(error, "data receive error");
    return false;
  }
  return Negotiate();
}

bool TCustomSocksWSocket::Negotiate() {
  const bool level5 = LevelOf() == socks::Level::k5;
  if (FSocksState == socksNegotiateMethod && !level5) {
    FailSocks(20001, "TWSocket logic error");
    return true;
  }
  // A SOCKS 4 reply is read alone: what follows it stays in the socket.
  int room = FSocksState == socksWaitConnectReply && !level5 ? 8 - FSocksReplyCount
                                                             : socks::kReplyArea - FSocksReplyCount;
  // The core's own receive: negotiation bytes are not data the application
  // received, so they are not counted in ReadCount.
  int n = TCustomWSocket::RecvRaw(FSocksReply.data() + FSocksReplyCount, room, 0);
  if (n < 0) {
    FLastError = wsock::WSAGetLastError();
    return true;
  }
  if (n == 0) return true;  // the proxy closed; FD_CLOSE reports it
  FSocksReplyCount += n;
  const std::uint8_t* r = FSocksReply.data();
  socks::Verdict v;
  switch (FSocksState) {
    case socksNegotiateMethod:
      v = socks::JudgeMethodReply(r, FSocksReplyCount);
      break;
    case socksAuthenticating:
      v = socks::JudgeAuthReply(r, FSocksReplyCount);
      break;
    case socksWaitConnectReply:
      v = level5 ? socks::JudgeSocks5Reply(r, FSocksReplyCount)
                 : socks::JudgeSocks4Reply(r, FSocksReplyCount);
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
  switch (FSocksState) {
    case socksNegotiateMethod:
      FSocksReplyCount = 0;  // anything behind the method reply is dropped
      if (v.method == 2) {
        // Only when offered: a request for it was checked to fit.
        if (FSocksMethod != 2) {
          FailSocks(20003, "authentification method not acceptable");
          return true;
        }
        SendSocksAuth();
      } else {
        if (FSocksMethod == 2) FireSocksAuthState(socksAuthNotNeeded);
        SendSocksRequest();
      }
      return true;
    case socksAuthenticating:
      FSocksReplyCount = 0;
      FireSocksAuthState(socksAuthSucceeded);
      SendSocksRequest();
      return true;
    default:
      return NegotiationSucceeded(v);
  }
}

bool TCustomSocksWSocket::NegotiationSucceeded(const socks::Verdict& v) {
  FSocksBoundAddr = v.boundAddr;
  FSocksBoundPort = v.boundPort;
  // The surplus is in place before the application hears of the
  // connection, so that a handler reading at once gets it first.
  FSurplusCount = FSocksReplyCount - v.length;
  FSurplusStart = v.length;
  FSocksReplyCount = 0;
  FSocksState = socksIdle;
  TSocketHandle handle = FSocketHandle;
  FireSessionConnected(0);
  if (FSocketHandle != handle || FState != wsConnected) return true;  // closed by the handler
  // The core goes on handing out the surplus, a piece per message, while
  // QueryRcvdCount counts it.
  return FireDataAvailable(0);
}

std::int32_t TCustomSocksWSocket::QueryRcvdCount() {
  if (FSurplusCount > 0 && !FSurplusStalled) return FSurplusCount;
  return TCustomWSocket::QueryRcvdCount();
}

int TCustomSocksWSocket::RecvRaw(void* buffer, int size, int flags) {
  if (FSurplusCount <= 0) return TCustomWSocket::RecvRaw(buffer, size, flags);
  int n = std::min(size, FSurplusCount);
  if (n <= 0) return 0;
  std::memcpy(buffer, FSocksReply.data() + FSurplusStart, static_cast<std::size_t>(n));
  FSurplusStart += n;
  FSurplusCount -= n;
  FSurplusStalled = false;
  return n;
}

// ---- the end of a connection ------------------------------------------------------

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t error) {
  // The proxy closed (or the connection broke) with the negotiation under
  // way: for the application that is a connection that failed, so it gets
  // its one OnSessionConnected with a code before the close. A close the
  // application asked for (the state is already closed) is only a close.
  bool cutShort = (FSocksState != socksIdle && FState != wsClosed) || FSendingNegotiation;
  if (FSocksState == socksAuthenticating) FireSocksAuthState(socksAuthFailed);
  FSocksState = socksIdle;
  if (cutShort) {
    FSendingNegotiation = false;
    std::string text = "connection closed during socks negotiation";
    if (error != 0) text += " (error #" + IntToStr(error) + ")";
    FireSocksError(kSocksClosedDuringNegotiation, text);
    TCustomWSocket::FireSessionConnected(kSocksClosedDuringNegotiation);
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
