// Connecting to a name with several addresses: the attempts race, as RFC
// 8305 ("Happy Eyeballs") describes, so that an address that never answers
// (an IPv6 path that is broken somewhere) costs a quarter of a second, not
// the system's whole connect timeout.
#include "net/WSocketCore.h"

namespace {
constexpr long kAttemptMask = plat::kFdConnect;
}

TSocketHandle TCustomWSocket::OpenAttempt(const TSocketAddress& address, unsigned msg, long mask,
                                          std::uint16_t& error) {
  TSocketHandle h = wsock::socket(address.Family(), plat::kSockStream, FProto.Value);
  if (h == INVALID_SOCKET) {
    error = static_cast<std::uint16_t>(wsock::WSAGetLastError());
    return h;
  }
  int on = -1;
  wsock::setsockopt(h, plat::kSolSocket, plat::kSoKeepAlive, reinterpret_cast<const char*>(&on),
                    sizeof on);
  if (int limit = plat::SendBacklogLimit()) {
    wsock::setsockopt(h, plat::kSolSocket, plat::kSoSndBuf, reinterpret_cast<const char*>(&limit),
                      sizeof limit);
  }
  if (wsock::WSAAsyncSelect(h, FNotifyWindow, msg, mask) != 0) {
    error = static_cast<std::uint16_t>(wsock::WSAGetLastError());
    wsock::closesocket(h);
    return INVALID_SOCKET;
  }
  Trace("connecting to " + WSocketEndpointText(address));
  if (wsock::connect(h, address.Raw(), address.Length) == 0 ||
      wsock::WSAGetLastError() == plat::WSAEWOULDBLOCK) {
    return h;
  }
  error = static_cast<std::uint16_t>(wsock::WSAGetLastError());
  if (msg == MsgSocketEvent) {
    // The primary tells a failure the way a pending connect does, so that
    // the one path decides what comes next.
    plat::PostWindowMessage(FNotifyWindow, msg, h, plat::PackNotification(plat::kFdConnect, error));
    return h;
  }
  wsock::closesocket(h);
  return INVALID_SOCKET;
}

bool TCustomWSocket::StartExtraAttempt() {
  while (FRace->next < FRace->order.size()) {
    const TSocketAddress& address = FRace->order[FRace->next++];
    std::uint16_t error = 0;
    TSocketHandle h = OpenAttempt(address, MsgAttemptEvent, kAttemptMask, error);
    if (h != INVALID_SOCKET) {
      FRace->extras.push_back({h, address});
      return true;
    }
    FRace->lastError = error;
  }
  plat::KillWindowTimer(FNotifyWindow, kAttemptTimer);
  return false;
}

bool TCustomWSocket::ReplacePrimary(std::uint16_t error) {
  FRace->lastError = error;
  if (FRace->next >= FRace->order.size() && FRace->extras.empty()) return false;
  // The primary and its notifications go first: the next one may tell its
  // outcome at once, and that must not be taken for the old one's.
  wsock::closesocket(FSocketHandle);
  FSocketHandle = INVALID_SOCKET;
  DiscardNotifications();
  TSocketAddress address;
  // At once, as the RFC asks: a refused attempt says nothing of the others.
  while (FSocketHandle == INVALID_SOCKET && FRace->next < FRace->order.size()) {
    address = FRace->order[FRace->next++];
    FSocketHandle = OpenAttempt(address, MsgSocketEvent, FSelectMask, FRace->lastError);
  }
  if (FSocketHandle == INVALID_SOCKET && !FRace->extras.empty()) {
    // An extra that is still trying becomes the primary, its events now
    // the socket's own.
    FSocketHandle = FRace->extras.front().handle;
    address = FRace->extras.front().address;
    FRace->extras.erase(FRace->extras.begin());
    wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FSelectMask);
  }
  if (FSocketHandle == INVALID_SOCKET) return false;  // no socket of any family left to try
  FSockAddr = address;
  FAddrFamily = address.Family();
  ApplyLinger();
  if (FRace->next < FRace->order.size())
    plat::SetWindowTimer(FNotifyWindow, kAttemptTimer, FAttemptDelay);
  return true;
}

void TCustomWSocket::HandleAttemptNotification(TMessage& msg) {
  // An extra promoted to primary may have told its outcome before it was.
  if (msg.WParam == FSocketHandle && FSocketHandle != INVALID_SOCKET) {
    msg.Msg = MsgSocketEvent;
    return HandleSocketNotification(msg);
  }
  if (!FRace) return;
  auto it = FRace->extras.begin();
  while (it != FRace->extras.end() && it->handle != msg.WParam) ++it;
  if (it == FRace->extras.end()) return;
  auto [bits, error] = plat::UnpackNotification(msg.LParam);
  if ((bits & plat::kFdConnect) == 0) return;
  TConnectRace::TAttempt attempt = *it;
  FRace->extras.erase(it);
  if (error != 0) {
    Trace(WSocketEndpointText(attempt.address) + ": " + SocketErrorText(error));
    wsock::closesocket(attempt.handle);
    FRace->lastError = error;
    if (StartExtraAttempt() && FRace->next < FRace->order.size())
      plat::SetWindowTimer(FNotifyWindow, kAttemptTimer, FAttemptDelay);
    return;
  }
  // The winner: it takes the primary's place, and the connection goes on
  // as if the primary had connected.
  wsock::closesocket(FSocketHandle);
  DiscardNotifications();
  FSocketHandle = attempt.handle;
  FSockAddr = attempt.address;
  FAddrFamily = attempt.address.Family();
  EndRace();
  ApplyLinger();
  // Registered afresh: whatever it can already tell (a greeting that has
  // arrived, room to send) comes as the socket's own notifications; while
  // paused, from Resume, which also tells the connection (noted below).
  if (wsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, FPaused ? 0 : MsgSocketEvent,
                            FPaused ? 0 : FSelectMask) != 0)
    return ReportSocketError("WSAAsyncSelect");
  TMessage connected{MsgSocketEvent, FSocketHandle, plat::PackNotification(plat::kFdConnect, 0), 0};
  HandleSocketNotification(connected);
}

void TCustomWSocket::HandleAttemptTimer() {
  if (!FRace || FState != wsConnecting) return plat::KillWindowTimer(FNotifyWindow, kAttemptTimer);
  StartExtraAttempt();
}

void TCustomWSocket::EndRace() {
  if (!FRace) return;
  plat::KillWindowTimer(FNotifyWindow, kAttemptTimer);
  for (const TConnectRace::TAttempt& a : FRace->extras) wsock::closesocket(a.handle);
  plat::RemoveQueuedMessages(FNotifyWindow, MsgAttemptEvent);
  FRace.reset();
}
