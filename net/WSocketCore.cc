// The socket core: construction, the notification window, dispatch of the
// library's notifications, error reporting and message pumping.
#include "net/WSocketCore.h"

#include "rtl/forms.h"

TCustomWSocket::TCustomWSocket(TComponent* owner) : TComponent(owner) {
  FNotifyWindow = CreateNotifyWindow();
  // No ResetDefaults here: the fields start at their defaults already, and
  // a layer's override could not be reached from here anyway.
  ++InstanceCount;
}

TCustomWSocket::~TCustomWSocket() {
  BeginDestroy();
  // A destructor must not throw; what the close reports has nobody to go to.
  try {
    CancelDnsLookup();
  } catch (const std::exception&) {
  }
  try {
    if (FState != wsClosed) Close();
  } catch (const std::exception&) {
  }
  if (FSocketHandle != INVALID_SOCKET) {
    try {
      wsock::closesocket(FSocketHandle);
    } catch (const std::exception&) {
    }
    FSocketHandle = INVALID_SOCKET;
  }
  if (--InstanceCount < 1) UnloadSocketLibrary();
  ClearSendBuffer();
  plat::DestroyHiddenWindow(FNotifyWindow);
  FNotifyWindow = 0;
}

plat::WindowHandle TCustomWSocket::CreateNotifyWindow() {
  return plat::CreateHiddenWindow("XSocketWindowClass", this);
}

std::intptr_t TCustomWSocket::HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
  TInUse inUse(*this);
  TMessage m{msg, wParam, lParam, 0};
  HandleWindowMessage(m);
  return m.Result;
}

void TCustomWSocket::HandleWindowMessage(TMessage& msg) {
  try {
    switch (msg.Msg) {
      case MsgSocketEvent:
        HandleSocketNotification(msg);
        break;
      case MsgHostByAddrDone:
        HandleLookupDone(msg);
        break;
      case MsgAddrLookupDone:
        HandleAddrLookupDone(msg);
        break;
      case MsgAttemptEvent:
        HandleAttemptNotification(msg);
        break;
      case plat::kWmTimer:
        if (msg.WParam == kAttemptTimer) HandleAttemptTimer();
        break;
      case MsgCloseLater:
        // Asked for the connection of that time, not for a later one.
        if (msg.WParam == FConnectionSerial) Close();
        break;
      case MsgFreeLater:
        // Freed on the way out of the outermost call that holds it (at the
        // latest, the handling of this message); waits of its own give up.
        FFreeAsked = true;
        break;
      case MsgTestException:
        throw ESocketException("Test exception in WSocket");
      case MsgDeliverMore:
        if (msg.WParam != FConnectionSerial) break;  // a connection that is over
        FDeliveryPosted = false;
        if (FSocketHandle != INVALID_SOCKET && !ReceivingHeld()) DeliverMore();
        break;
      default:
        msg.Result = plat::DefaultMessageResult(FNotifyWindow, msg.Msg, msg.WParam, msg.LParam);
    }
  } catch (const std::exception& e) {
    // An exception must not unwind through the system's message dispatch.
    HandleEventException(e);
  }
}

void TCustomWSocket::ResetDefaults() {
  static_cast<TSessionFields&>(*this) = TSessionFields{};
  FAddr.Forget();
  FPort.Forget();
}

void TCustomWSocket::BeginConnection(TSocketHandle handle) {
  FSocketHandle = handle;
  ++FConnectionSerial;
  FDeliveryPosted = false;
}

void TCustomWSocket::DiscardNotifications() {
  plat::RemoveQueuedMessages(FNotifyWindow, MsgSocketEvent);
}

void TCustomWSocket::EnterState(TSocketState newState) {
  TSocketState old = FState;
  FState = newState;
  FireChangeState(old, newState);
}

void TCustomWSocket::HandleSocketNotification(TMessage& msg) {
  if (msg.WParam != FSocketHandle) return;
  auto [bits, error] = plat::UnpackNotification(msg.LParam);
  if (bits & (plat::kFdRead | plat::kFdClose)) FSocketEmpty = false;
  if (FPaused) {
    // The system tells these once: Resume tells them again.
    if (bits & plat::kFdConnect) FConnectWhilePaused = error;
    if (bits & plat::kFdClose) FCloseWhilePaused = error;
    return;
  }
  // A handler may close the socket (and so reset it, clearing the record
  // that the session's end was reported), or close it and connect again:
  // whatever the message still holds belongs to a session that is over.
  const TConnectionMark connection = MarkConnection();
  auto ended = [&] { return ConnectionEnded(connection); };
  if (bits & plat::kFdConnect) {
    if (error != 0) {
      Trace(WSocketEndpointText(FSockAddr) + ": " + SocketErrorText(error));
    } else {
      Trace("connected to " + WSocketEndpointText(FSockAddr));
    }
    if (FRace) {
      // One of several attempts failed: the others go on, unseen.
      if (error != 0 && ReplacePrimary(error)) return;
      if (error != 0) error = FRace->lastError;
      EndRace();
    }
    EnterState(wsConnected);
    FireSessionConnected(error);
    if (error != 0 && !ended() && FState != wsClosed) Close();
    if (ended()) return;
  }
  if ((bits & plat::kFdRead) && !ReceivingHeld()) {
    // Left unread while receiving is paused: the system tells no more until
    // a read, so the socket costs nothing until ResumeReceiving.
    DeliverReceived(error);
    if (ended()) return;
  }
  if (bits & plat::kFdWrite) {
    const std::int64_t queuedBefore = OnSendQueueLow ? SendQueueSize() : 0;
    TryToSend();
    // A send that found the connection gone has ended the session (and
    // reported it): nothing was sent, so nothing may say it was.
    if (ended()) return;
    if (OnSendQueueLow && queuedBefore > FSendQueueLowMark &&
        SendQueueSize() <= FSendQueueLowMark) {
      OnSendQueueLow(this);
      if (ended()) return;
    }
    if (FDrained) FireDataSent(error);
    if (ended()) return;
  }
  if (bits & plat::kFdAccept) {
    // Every connection waiting is offered in this turn, each with its own
    // OnSessionAvailable, as long as the handler takes them: a burst is
    // accepted at the kernel's pace, not one per pass of the loop. A
    // notification with nothing waiting (its connection was taken already)
    // is no event at all.
    for (int offered = 0;; ++offered) {
      if (error == 0 && !plat::ConnectionWaiting(FSocketHandle)) break;
      if (offered == kAcceptsPerTurn) {
        // The rest after the other sockets' turn.
        plat::PostWindowMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle,
                                plat::PackNotification(plat::kFdAccept, 0));
        break;
      }
      const std::uint32_t accepted = FAcceptCount;
      FireSessionAvailable(error);
      if (ended()) return;
      if (error != 0 || FAcceptCount == accepted) break;
    }
  }
  if ((bits & plat::kFdClose) && FState != wsConnecting) {
    // The peer sends nothing more, so what is waiting is handed out in one
    // go, before the close is reported: as long as the socket or a layer
    // says it holds bytes (each layer answers for itself) and the handler
    // takes some each time. One that takes none would be called for ever.
    // Receiving paused: the bytes, and the close behind them, wait for
    // ResumeReceiving; a reset has left nothing to wait for.
    // The handler is offered the data once in any case, so that a reader
    // sees the end for itself (Receive 0, or the error of a stream cut
    // short). A pass counts when the application read, or a layer took from
    // the socket (a record, a compressed piece) on its way to it.
    for (bool first = true; !ended() && !ReceivingHeld() && (first || AnythingWaiting());
         first = false) {
      const std::int64_t readBefore = FReadCount, takenBefore = FSocketTaken;
      DeliverOnce(0);
      if (FReadCount == readBefore && FSocketTaken == takenBefore) break;
    }
    if (ended()) return;
    if (FPaused || (error == 0 && ReceivingHeld() && AnythingWaiting())) {
      FCloseWhilePaused = error;
      return;
    }
    if (!FSessionClosedFired) {
      FSessionClosedFired = true;
      FireSessionClosed(error);
    }
    if (!ended() && FState != wsClosed) Close();
  }
}

void TCustomWSocket::ReportSocketError(const std::string& functionName) {
  int n = wsock::WSAGetLastError();
  std::string text =
      "Error " + IntToStr(n) + " in function " + functionName + "\r\n" + SocketErrorText(n);
  if (n == plat::WSAECONNRESET || n == plat::WSAENOTCONN) {
    if (FSocketHandle != INVALID_SOCKET) wsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    DiscardNotifications();
    EnterState(wsClosed);
    ForgetConnectionData();
  }
  RaiseError(text, n);
}

// LastError tells the number of the failure being reported, whichever path
// reported it, so that an OnError handler or the catcher of the exception
// never reads a number left over from an earlier failure.
void TCustomWSocket::RaiseError(const std::string& message, int error) {
  FLastError = error;
  if (OnError) {
    FireError();
    return;
  }
  throw ESocketException(message, error);
}

void TCustomWSocket::RaiseErrorFmt(const std::string& formatted, int error) {
  FLastError = error;
  if (!OnError) throw ESocketException(formatted, error);
  FireError();
}

void TCustomWSocket::HandleEventException(const std::exception& e) {
  bool canClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, e, canClose);
    } catch (const std::exception&) {
    }
  }
  if (canClose) {
    try {
      Abort();
    } catch (const std::exception&) {
    }
  }
}

void TCustomWSocket::PumpMessages() {
  if (FMultiThreaded) {
    PumpPendingMessages();
  } else {
    Application->ProcessMessages();
  }
}

bool TCustomWSocket::PumpOneMessage() {
  TPumped pumped = PumpMessage();
  if (pumped == TPumped::Quit) FQuitReceived = true;
  return pumped != TPumped::Nothing;
}

void TCustomWSocket::PumpPendingMessages() {
  if (PumpWaitingMessages()) FQuitReceived = true;
}

bool TCustomWSocket::FireDataAvailable(std::uint16_t error) {
  // A layer that finished negotiating offers what came behind it: while
  // receiving is paused it stays where it is (ResumeReceiving offers it).
  if (ReceivingHeld()) return true;
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, error);
  return true;
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t error) {
  if (OnSessionAvailable) OnSessionAvailable(this, error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t error) {
  if (OnSessionConnected) OnSessionConnected(this, error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t error) {
  if (OnSessionClosed) OnSessionClosed(this, error);
}

void TCustomWSocket::FireDataSent(std::uint16_t error) {
  if (OnDataSent) OnDataSent(this, error);
}

void TCustomWSocket::FireChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState) OnChangeState(this, oldState, newState);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}

void TCustomWSocket::FireError() {
  if (OnError) OnError(this);
}

bool TCustomWSocket::TimeValIsSet(const TTimeVal& tv) { return tv.tv_sec != 0 || tv.tv_usec != 0; }

void TCustomWSocket::TimeValClear(TTimeVal& tv) { tv.tv_sec = tv.tv_usec = 0; }

bool TCustomWSocket::TimeValCompare(const TTimeVal& a, const TTimeVal& b, bool equal) {
  bool same = a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
  return same ? equal : !equal;
}
