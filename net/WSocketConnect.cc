// Opening, connecting, binding, listening, accepting, adopting, pausing and
// closing, and the state changes that go with them.
#include "net/WSocketCore.h"
#include "rtl/forms.h"

namespace {
constexpr int kMaskConnect =
    plat::kFdRead | plat::kFdWrite | plat::kFdAccept | plat::kFdConnect | plat::kFdClose;
constexpr int kMaskListen = plat::kFdRead | plat::kFdWrite | plat::kFdAccept | plat::kFdClose;
constexpr int kMaskDup = plat::kFdRead | plat::kFdWrite | plat::kFdConnect | plat::kFdClose;

// What accept reports of a connection that ended before it was taken
// (Windows: reset, not connected; Linux: aborted, EPROTO and the network
// errors it passes on for a pending connection).
bool ClientGoneBeforeAccept(int error) {
  switch (error) {
    case plat::WSAECONNRESET:
    case plat::WSAENOTCONN:
    case plat::WSAECONNABORTED:
    case plat::WSAENETRESET:
    case plat::WSAENETDOWN:
    case plat::WSAENETUNREACH:
    case plat::WSAEHOSTDOWN:
    case plat::WSAEHOSTUNREACH:
    case plat::WSAETIMEDOUT:
      return true;
    default:
      return false;
  }
}

int SetIntOption(plat::TSocket s, int name, int value) {
  return wsock::setsockopt(s, plat::kSolSocket, name, reinterpret_cast<const char*>(&value),
                           sizeof value);
}
}  // namespace

void TCustomWSocket::ResolveLocalForUse() {
  if (!FProto.Known) {
    FProto.Value = WSocketResolveProto(FProto.Text);
    FSocketType = FProto.Value == plat::kIpProtoUdp ? plat::kSockDgram : plat::kSockStream;
    FProto.Known = true;
  }
  if (!FLocalPort.Known) {
    FLocalPort.Value = WSocketResolvePort(FLocalPort.Text, FProto.Text);
    FLocalPort.Known = true;
  }
}

TSocketAddressList TCustomWSocket::ResolveForUse(int family) {
  ResolveLocalForUse();
  if (!FPort.Known) {
    FPort.Value = WSocketResolvePort(FPort.Text, FProto.Text);
    FPort.Known = true;
  }
  if (!FAddr.Known) {
    // A name this socket has just looked up (DnsLookup, which does not hold
    // up the loop) is not looked up again, here, while the loop waits.
    FAddr.Value = !FLookupAddresses.empty() && FAddr.Text == FLookupName
                      ? FLookupAddresses
                      : WSocketResolveHostList(FAddr.Text, FSocketFamily);
    FAddr.Known = true;
  }
  TSocketAddressList addresses;
  for (TSocketAddress a : FAddr.Value) {
    if (family != 0 && a.Family() != family) continue;
    a.SetPort(FPort.Value);
    addresses.push_back(a);
  }
  if (addresses.empty()) {
    throw ESocketException("WSocketResolveHost: '" + FAddr.Text +
                               "' has no address of the family of '" + FLocalAddr + "'",
                           plat::WSAEAFNOSUPPORT);
  }
  return addresses;
}

namespace {

// A resolver's failure keeps its error number; anything else is a misuse.
int ErrorOf(const Exception& e) {
  const auto* socketError = dynamic_cast<const ESocketException*>(&e);
  return socketError != nullptr && socketError->ErrorCode() != 0 ? socketError->ErrorCode()
                                                                 : plat::WSAEINVAL;
}

}  // namespace

void TCustomWSocket::FinishCloseUnderWay() {
  if (!FCloseUnderWay) return;
  FCloseUnderWay = false;
  ForgetConnectionData();
  // The session's own record starts afresh; the settings stay as the
  // handler left them (it has assigned what the new connection needs).
  static_cast<TSessionRecord&>(*this) = TSessionRecord{};
}

void TCustomWSocket::Connect() {
  FinishCloseUnderWay();
  if (FSocketHandle != INVALID_SOCKET && FState != wsClosed)
    return RaiseError("Connect: Socket already in use", plat::WSAEINVAL);
  if (!FPort.Assigned) return RaiseError("Connect: No Port Specified", plat::WSAEINVAL);
  if (!FAddr.Assigned) return RaiseError("Connect: No IP Address Specified", plat::WSAEINVAL);
  if (!FProto.Assigned) return RaiseError("Connect: No Protocol Specified", plat::WSAEINVAL);
  TSocketAddressList remote;
  try {
    ResolveLocalForUse();
    // A local address of one family ties the connection to that family.
    if (!RouteConnection(remote)) remote = ResolveForUse(LocalFamily());
  } catch (const Exception& e) {
    return RaiseError("connect: " + e.Message(), ErrorOf(e));
  }
  ClearSendBuffer();
  EndRace();
  const bool datagram = FSocketType == plat::kSockDgram;
  // Several addresses race (see TConnectRace); a bound local port or
  // address is one socket's, so with one the first address alone is tried.
  if (!datagram && remote.size() > 1 && FLocalPort.Value == 0 && LocalFamily() == 0) {
    FRace = std::make_unique<TConnectRace>();
    FRace->order = WSocketInterleaveFamilies(remote);
    remote = FRace->order;
  }
  FSockAddr = remote.front();
  FAddrFamily = FSockAddr.Family();
  BeginConnection(wsock::socket(FAddrFamily, FSocketType, FProto.Value));
  // A family the system cannot open at all is one failed attempt.
  while (FSocketHandle == INVALID_SOCKET && FRace && FRace->next < FRace->order.size()) {
    FRace->lastError = static_cast<std::uint16_t>(wsock::WSAGetLastError());
    FSockAddr = FRace->order[FRace->next++];
    FAddrFamily = FSockAddr.Family();
    FSocketHandle = wsock::socket(FAddrFamily, FSocketType, FProto.Value);
  }
  if (FSocketHandle == INVALID_SOCKET) {
    EndRace();
    return ReportSocketError("Connect (socket)");
  }
  EnterState(wsOpened);
  if (datagram) {
    BindLocal();
    if (FSockAddr.IPv4() == plat::kInaddrNone && FAddrFamily == plat::kAfInet &&
        SetIntOption(FSocketHandle, plat::kSoBroadcast, 1) != 0) {
      return ReportSocketError("setsockopt(SO_BROADCAST)");
    }
  } else {
    if (SetIntOption(FSocketHandle, plat::kSoReuseAddr, -1) != 0)
      return ReportSocketError("setsockopt(SO_REUSEADDR)");
    ApplyLinger();
    if (SetIntOption(FSocketHandle, plat::kSoKeepAlive, -1) != 0)
      return ReportSocketError("setsockopt(SO_KEEPALIVE)");
    // A hint: where the system cannot say what it still holds for the peer.
    if (int limit = plat::SendBacklogLimit()) SetIntOption(FSocketHandle, plat::kSoSndBuf, limit);
    if (FLocalPort.Value != 0 || LocalFamily() != 0) BindLocal();
  }
  FSelectMask = kMaskConnect;
  if (wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FSelectMask) != 0) {
    return ReportSocketError("WSAAsyncSelect");
  }
  if (datagram) {
    EnterState(wsConnected);
    FireSessionConnected(0);
    return;
  }
  Trace("connecting to " + WSocketEndpointText(FSockAddr));
  int rc = wsock::connect(FSocketHandle, FSockAddr.Raw(), FSockAddr.Length);
  int error = rc == 0 ? 0 : wsock::WSAGetLastError();
  if (rc == 0 || error == plat::WSAEWOULDBLOCK ||
      (FRace && ReplacePrimary(static_cast<std::uint16_t>(error)))) {
    EnterState(wsConnecting);
    // Should no timer be had, the others are still tried as each one fails.
    if (FRace) plat::SetWindowTimer(FNotifyWindow, kAttemptTimer, FAttemptDelay);
  } else {
    EndRace();
    wsock::WSASetLastError(error);
    ReportSocketError("Connect");
  }
}

int TCustomWSocket::LocalFamily() const {
  if (FLocalAddr == "0.0.0.0") return 0;
  return WSocketLooksLikeIPv6(FLocalAddr) ? plat::kAfInet6 : plat::kAfInet;
}

TSocketAddress TCustomWSocket::LocalAddressFor(int family) {
  const auto port = static_cast<std::uint16_t>(FLocalPort.Value);
  if (LocalFamily() == 0) return TSocketAddress::Any(family, port);
  TSocketAddress local = WSocketResolveHostList(FLocalAddr, sfAny).front();
  local.SetPort(port);
  return local;
}

void TCustomWSocket::BindLocal() {
  TSocketAddress local = LocalAddressFor(FAddrFamily);
  if (wsock::bind(FSocketHandle, local.Raw(), local.Length) != 0) {
    int error = wsock::WSAGetLastError();
    return RaiseErrorFmt(Format("winsock.bind failed, error #%d", error), error);
  }
  int len = sizeof local.Storage;
  if (wsock::getsockname(FSocketHandle, local.Raw(), &len) != 0) {
    int error = wsock::WSAGetLastError();
    return RaiseErrorFmt(Format("winsock.getsockname failed, error #%d", error), error);
  }
  local.Length = len;
  FLocalPort.Value = local.Port();
  FLocalPort.Text = IntToStr(FLocalPort.Value);
}

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FSocketHandle == INVALID_SOCKET)
    return RaiseError("Cannot set linger option at this time", plat::WSAEINVAL);
  plat::TLinger l{static_cast<std::uint16_t>(FLingerOnOff),
                  static_cast<std::uint16_t>(FLingerTimeout)};
  if (wsock::setsockopt(FSocketHandle, plat::kSolSocket, plat::kSoLinger,
                        reinterpret_cast<const char*>(&l), sizeof l) != 0) {
    ReportSocketError("setsockopt(SO_LINGER)");
  }
}

void TCustomWSocket::Listen() {
  FinishCloseUnderWay();
  auto refuse = [this](const char* text) {
    wsock::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError(text);
  };
  if (!FPort.Assigned) return refuse("listen: port not assigned");
  if (!FProto.Assigned) return refuse("listen: protocol not assigned");
  if (!FAddr.Assigned) return refuse("listen: address not assigned");
  try {
    FSockAddr = ResolveForUse().front();
  } catch (const Exception& e) {
    return RaiseError("listen: " + e.Message(), ErrorOf(e));
  }
  ClearSendBuffer();
  FAddrFamily = FSockAddr.Family();
  BeginConnection(wsock::socket(FAddrFamily, FSocketType, FProto.Value));
  if (FSocketHandle == INVALID_SOCKET) return ReportSocketError("socket");
  const bool anyIPv6 = FSockAddr.IsIPv6() && WSocketAddressText(FSockAddr) == "::";
  if (anyIPv6) {
    // Both families on one socket where the system allows it (Windows
    // defaults to IPv6 only); what it granted is read back below.
    int off = 0;
    wsock::setsockopt(FSocketHandle, plat::kIpProtoIpv6, plat::kIpv6V6Only,
                      reinterpret_cast<const char*>(&off), sizeof off);
  }
  if (wsock::bind(FSocketHandle, FSockAddr.Raw(), FSockAddr.Length) != 0) {
    // The socket never left the closed state, so a close would not release
    // it, and a raised report would skip the close anyway: release it first.
    int error = wsock::WSAGetLastError();
    wsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    DiscardNotifications();
    wsock::WSASetLastError(error);
    ReportSocketError("Bind");
    Close();
    return;
  }
  if (anyIPv6) {
    int only = 1, len = sizeof only;
    FDualStack = wsock::getsockopt(FSocketHandle, plat::kIpProtoIpv6, plat::kIpv6V6Only,
                                   reinterpret_cast<char*>(&only), &len) == 0 &&
                 only == 0;
  }
  EnterState(wsBound);
  if (FSocketType == plat::kSockDgram) {
    EnterState(wsListening);
    EnterState(wsConnected);
    FireSessionConnected(0);
  } else {
    if (wsock::listen(FSocketHandle, FListenBacklog) != 0) return ReportSocketError("Listen");
    EnterState(wsListening);
  }
  FSelectMask = kMaskListen;
  if (wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FSelectMask) != 0) {
    ReportSocketError("WSAASyncSelect");
  }
}

TSocketHandle TCustomWSocket::Accept() {
  if (FState != wsListening) {
    wsock::WSASetLastError(plat::WSAEINVAL);
    ReportSocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  TSocketAddress peer;
  int len = sizeof peer.Storage;
  for (;;) {
    len = sizeof peer.Storage;
    FLastAcceptedHandle = wsock::accept(FSocketHandle, peer.Raw(), &len);
    if (FLastAcceptedHandle != INVALID_SOCKET) break;
    const int error = wsock::WSAGetLastError();
    // A client that reset or went away before it was taken costs itself
    // only: the next one waiting is taken instead.
    if (ClientGoneBeforeAccept(error)) continue;
    FLastError = error;
    // Nobody waits any more (the one announced went away): nothing to report.
    if (error == plat::WSAEWOULDBLOCK) return INVALID_SOCKET;
    // Reported without closing anything: the handle here is the listener's,
    // which stays open whatever the error says of a client.
    RaiseError("Error " + IntToStr(error) + " in function Accept\r\n" + SocketErrorText(error),
               error);
    return INVALID_SOCKET;
  }
  peer.Length = len;
  FSockAddr = peer;
  ++FAcceptCount;
  return FLastAcceptedHandle;
}

void TCustomWSocket::Dup(TSocketHandle newHandle) {
  if (newHandle == 0 || newHandle == INVALID_SOCKET) {
    wsock::WSASetLastError(plat::WSAEINVAL);
    return ReportSocketError("Dup");
  }
  // Whatever the old connection left is not the new one's.
  FinishCloseUnderWay();
  EndRace();
  ForgetConnectionData();
  if (FState != wsClosed) {
    int rc = wsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    DiscardNotifications();
    if (rc != 0) return ReportSocketError("Dup (closesocket)");
    EnterState(wsClosed);
  }
  BeginConnection(newHandle);
  ApplyLinger();
  FSelectMask = kMaskDup;
  if (wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FSelectMask) != 0) {
    return ReportSocketError("WSAAsyncSelect");
  }
  EnterState(wsConnected);
}

void TCustomWSocket::DoClose(bool shut, std::uint16_t error) {
  EndRace();
  if (FSocketHandle == INVALID_SOCKET) {
    if (FState != wsClosed) {
      EnterState(wsClosed);
      ForgetConnectionData();
      ResetDefaults();
    }
    return;
  }
  if (FState == wsClosed) {
    // A socket that never left the closed state (a Listen whose bind
    // failed): release it quietly rather than leak the descriptor.
    wsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    DiscardNotifications();
    return;
  }
  // Set already: the caller reports the close itself, after this, and the
  // layers hand out and drop what they hold then (see TryToSend).
  const bool reportedByCaller = FSessionClosedFired;
  if (shut) Shutdown(1);
  TInUse inUse(*this);  // the loop below may run the message loop
  while (wsock::closesocket(FSocketHandle) != 0) {
    FLastError = wsock::WSAGetLastError();
    if (FLastError == plat::WSAEWOULDBLOCK) {
      PumpMessages();
      continue;
    }
    if (FLastError == plat::WSANOTINITIALISED) break;
    FSocketHandle = INVALID_SOCKET;
    DiscardNotifications();
    return ReportSocketError("Disconnect (closesocket)");
  }
  FSocketHandle = INVALID_SOCKET;
  DiscardNotifications();
  EnterState(wsClosed);
  if (!Destroying() && !FSessionClosedFired) {
    FSessionClosedFired = true;
    FCloseUnderWay = true;
    FireSessionClosed(error);
    // The handler opened a new connection, which finished this close.
    if (!FCloseUnderWay) return;
    FCloseUnderWay = false;
  }
  if (!reportedByCaller) ForgetConnectionData();
  try {
    ResetDefaults();
  } catch (const std::exception&) {
  }
}

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseLater() {
  plat::PostWindowMessage(FNotifyWindow, MsgCloseLater, FConnectionSerial, 0);
}

void TCustomWSocket::FreeLater() { plat::PostWindowMessage(FNotifyWindow, MsgFreeLater, 0, 0); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  ClearSendBuffer();
  if (FState == wsConnected && FProto.Value == plat::kIpProtoTcp) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int how) {
  if (FSocketHandle != INVALID_SOCKET) wsock::shutdown(FSocketHandle, how);
}

int TCustomWSocket::Pause() {
  FPaused = true;
  return wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, 0, 0);
}

int TCustomWSocket::Resume() {
  FPaused = false;
  int rc = wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FSelectMask);
  if (FConnectWhilePaused >= 0 && FSocketHandle != INVALID_SOCKET) {
    // Before anything else of the connection, as the system would have.
    plat::PostWindowMessage(
        FNotifyWindow, MsgSocketEvent, FSocketHandle,
        plat::PackNotification(plat::kFdConnect, static_cast<std::uint16_t>(FConnectWhilePaused)));
    FConnectWhilePaused = -1;
  }
  if (FCloseWhilePaused >= 0 && FSocketHandle != INVALID_SOCKET) {
    // Its handling hands out what the socket still holds first.
    plat::PostWindowMessage(
        FNotifyWindow, MsgSocketEvent, FSocketHandle,
        plat::PackNotification(plat::kFdClose, static_cast<std::uint16_t>(FCloseWhilePaused)));
    FCloseWhilePaused = -1;
  } else if (FSocketHandle != INVALID_SOCKET && LayersHold() > 0) {
    // What the layers held when the handler paused: the socket has no
    // notification for it, so delivery resumes from the event loop.
    FHeldStalled = false;
    PostDeliverMore();
  }
  return rc;
}

void TCustomWSocket::PauseReceiving() {
  // Nothing to tell the system: an FD_READ that comes is left unread, and it
  // tells no more until a read, so a paused socket costs nothing.
  FReceivingPaused = true;
}

void TCustomWSocket::ResumeReceiving() {
  if (!FReceivingPaused) return;
  FReceivingPaused = false;
  // What was offered and left unread before is offered again.
  FHeldStalled = false;
  if (FSocketHandle == INVALID_SOCKET || FPaused) return;  // Resume does the rest
  if (FCloseWhilePaused >= 0) {
    // Its handling hands out what is still held first.
    plat::PostWindowMessage(
        FNotifyWindow, MsgSocketEvent, FSocketHandle,
        plat::PackNotification(plat::kFdClose, static_cast<std::uint16_t>(FCloseWhilePaused)));
    FCloseWhilePaused = -1;
    return;
  }
  // The socket sent its notification while reading was paused, or a layer
  // holds bytes: either way no notification will come for them.
  PostDeliverMore();
}

void TCustomWSocket::SetTcpNoDelay(bool on) {
  if (FSocketHandle == INVALID_SOCKET) return;
  int value = on ? 1 : 0;
  wsock::setsockopt(FSocketHandle, plat::kIpProtoTcp, plat::kTcpNoDelay,
                    reinterpret_cast<const char*>(&value), sizeof value);
}

void TCustomWSocket::SetTcpCork(bool on) {
  if (FSocketHandle != INVALID_SOCKET) plat::SetCork(FSocketHandle, on);
}

void TCustomWSocket::AckPromptly() {
  if (FSocketHandle != INVALID_SOCKET && FSocketType == plat::kSockStream)
    plat::AckPromptly(FSocketHandle);
}
