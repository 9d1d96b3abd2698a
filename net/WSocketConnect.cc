// Opening, connecting, binding, listening, accepting, adopting, pausing and
// closing, and the state changes that go with them.
#include "net/WSocketCore.h"
#include "rtl/forms.h"

namespace {
constexpr int kMaskConnect =
    plat::kFdRead | plat::kFdWrite | plat::kFdAccept | plat::kFdConnect | plat::kFdClose;
constexpr int kMaskListen = plat::kFdRead | plat::kFdWrite | plat::kFdAccept | plat::kFdClose;
constexpr int kMaskDup = plat::kFdRead | plat::kFdWrite | plat::kFdConnect | plat::kFdClose;

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

void TCustomWSocket::ResolveForUse() {
  ResolveLocalForUse();
  if (!FPort.Known) {
    FPort.Value = WSocketResolvePort(FPort.Text, FProto.Text);
    FPort.Known = true;
  }
  if (!FAddr.Known) {
    FAddr.Value = WSocketResolveHost(FAddr.Text);
    FAddr.Known = true;
  }
  FSockAddr.sin_port = wsock::htons(FPort.Value);
  FSockAddr.sin_addr.S_addr = FAddr.Value;
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
  try {
    ResolveLocalForUse();
    if (!RouteConnection(FSockAddr)) ResolveForUse();
  } catch (const Exception& e) {
    return RaiseError("connect: " + e.Message(), ErrorOf(e));
  }
  ClearSendBuffer();
  BeginConnection(wsock::socket(FAddrFamily, FSocketType, FProto.Value));
  if (FSocketHandle == INVALID_SOCKET) return ReportSocketError("Connect (socket)");
  EnterState(wsOpened);
  bool datagram = FSocketType == plat::kSockDgram;
  if (datagram) {
    BindLocal();
    if (FSockAddr.sin_addr.S_addr == plat::kInaddrNone &&
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
    if (FLocalPort.Value != 0 || FLocalAddr != "0.0.0.0") BindLocal();
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
  int rc = wsock::connect(FSocketHandle, reinterpret_cast<const plat::TSockAddr*>(&FSockAddr),
                          sizeof FSockAddr);
  if (rc == 0 || wsock::WSAGetLastError() == plat::WSAEWOULDBLOCK) {
    EnterState(wsConnecting);
  } else {
    ReportSocketError("Connect");
  }
}

void TCustomWSocket::BindLocal() {
  plat::TSockAddrIn local{};
  local.sin_family = plat::kAfInet;
  local.sin_port = wsock::htons(static_cast<std::uint16_t>(FLocalPort.Value));
  local.sin_addr.S_addr = WSocketResolveHost(FLocalAddr);
  if (wsock::bind(FSocketHandle, reinterpret_cast<const plat::TSockAddr*>(&local), sizeof local) !=
      0) {
    int error = wsock::WSAGetLastError();
    return RaiseErrorFmt(Format("winsock.bind failed, error #%d", error), error);
  }
  int len = sizeof local;
  if (wsock::getsockname(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&local), &len) != 0) {
    int error = wsock::WSAGetLastError();
    return RaiseErrorFmt(Format("winsock.getsockname failed, error #%d", error), error);
  }
  FLocalPort.Value = wsock::ntohs(local.sin_port);
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
    ResolveForUse();
  } catch (const Exception& e) {
    return RaiseError("listen: " + e.Message(), ErrorOf(e));
  }
  ClearSendBuffer();
  BeginConnection(wsock::socket(FAddrFamily, FSocketType, FProto.Value));
  if (FSocketHandle == INVALID_SOCKET) return ReportSocketError("socket");
  if (wsock::bind(FSocketHandle, reinterpret_cast<const plat::TSockAddr*>(&FSockAddr),
                  sizeof FSockAddr) != 0) {
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
  int len = sizeof FSockAddr;
  FLastAcceptedHandle =
      wsock::accept(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&FSockAddr), &len);
  if (FLastAcceptedHandle == INVALID_SOCKET) {
    ReportSocketError("Accept");
    return INVALID_SOCKET;
  }
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
