// The send queue and all data transfer: sending straight from the caller's
// bytes or through the queue's blocks, receiving, and the delivery loop
// behind OnDataAvailable.
#include <algorithm>

#include "net/WSocketCore.h"
#include "rtl/forms.h"

namespace {

bool ConnectionGone(int error) {
  return error == plat::WSAEINVAL || error == plat::WSAENOTSOCK || error == plat::WSAECONNABORTED ||
         error == plat::WSAECONNRESET || error == plat::WSAENOTCONN;
}

}  // namespace

int TCustomWSocket::Send(const void* data, int length) {
  if (FState != wsConnected) {
    wsock::WSASetLastError(plat::WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  int result = 0;
  if (length > 0) {
    // An empty send on an empty queue leaves it drained, so that
    // OnDataSent still comes for it.
    FDrained = false;
    result = length;
    bool full = false;
    const int taken = SendDirect(data, length, full);
    if (taken < 0) return result;
    if (taken == length) {
      FDrained = true;
    } else {
      AppendToSendBuffer(static_cast<const char*>(data) + taken, length - taken);
    }
    if (!full) TryToSend();
  } else {
    TryToSend();
  }
  // OnDataSent never fires inside Send: the queue ran dry, so a write
  // notification of our own brings it from the event loop. Nobody listening
  // for it (a server echoing what it reads), no message: it would cost a
  // turn of the loop for every send.
  if (FDrained && FSocketHandle != INVALID_SOCKET && DataSentWanted()) {
    plat::PostWindowMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle,
                            plat::PackNotification(plat::kFdWrite, 0));
  }
  return result;
}

int TCustomWSocket::SendString(const std::string& text) {
  if (text.empty()) return 0;
  return Send(text.data(), static_cast<int>(text.size()));
}

void TCustomWSocket::AppendToSendBuffer(const void* data, int length) {
  FSendQueue.Append(data, length);
}

int TCustomWSocket::SendDirect(const void* data, int length, bool& full) {
  // Only where nothing can come between the send and queuing what it left:
  // no handler of OnSendData (it may send again), no send under way, and a
  // stream, whose bytes may be split anywhere.
  if (!FSendQueue.Empty() || FInTryToSend || OnSendData || FSocketType != plat::kSockStream ||
      FSocketHandle == INVALID_SOCKET)
    return 0;
  const int n = SendRaw(data, length);
  if (n >= 0) return n;
  const int error = wsock::WSAGetLastError();
  full = error == plat::WSAEWOULDBLOCK;
  if (full) return 0;
  SendFailed(error);
  return -1;
}

void TCustomWSocket::SendFailed(int error) {
  if (ConnectionGone(error)) {
    FSessionClosedFired = true;
    Close();
    FireSessionClosed(static_cast<std::uint16_t>(error));
    return;
  }
  ReportSocketError("TryToSend failed");
}

void TCustomWSocket::TryToSend() {
  // OnSendData may call Send (re-entering here) or Abort (freeing the
  // blocks) while a block is being sent; the outer loop carries on with
  // whatever was queued, and stops if its block went away.
  if (FInTryToSend) return;
  if (FSocketHandle == INVALID_SOCKET || FSendQueue.Empty()) return;
  FInTryToSend = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{FInTryToSend};
  for (;;) {
    std::int32_t count = 0;
    const char* unsent = FSendQueue.PeekUnsent(&count);
    if (count == 0) {
      FDrained = true;
      // An idle connection keeps no block: thousands of them would hold
      // their last message's block for nothing.
      FSendQueue.Clear();
      return;
    }
    std::uint32_t generation = FSendQueue.Generation();
    int n = SendRaw(unsent, count);
    if (n == 0) return;
    if (n < 0) {
      int error = wsock::WSAGetLastError();
      if (error != plat::WSAEWOULDBLOCK) SendFailed(error);
      return;
    }
    if (generation != FSendQueue.Generation() || FSocketHandle == INVALID_SOCKET) return;
    // A short send means the socket is nearly full, but the library posts
    // FD_WRITE only after a send that would block: go on until one does,
    // or the rest could wait for a notification that never comes.
    FSendQueue.Consume(n);
  }
}

int TCustomWSocket::SendRaw(const void* data, int length) {
  int n;
  if (FSocketType == plat::kSockDgram) {
    n = wsock::sendto(FSocketHandle, static_cast<const char*>(data), length, FSendFlags,
                      FSockAddr.Raw(), FSockAddr.Length);
  } else {
    n = wsock::send(FSocketHandle, static_cast<const char*>(data), length, FSendFlags);
  }
  if (n > 0) {
    FSentSinceAsked = true;
    FireSendData(n);
  }
  return n;
}

bool TCustomWSocket::PeerTakingData() {
  if (FSocketHandle == INVALID_SOCKET) return false;
  long unsent = plat::UnsentBytes(FSocketHandle);
  bool moved = unsent != 0 && (FSentSinceAsked || (unsent > 0 && unsent < FUnsentSeen));
  FSentSinceAsked = false;
  FUnsentSeen = unsent;
  return moved;
}

void TCustomWSocket::FireSendData(std::int32_t count) {
  if (OnSendData) OnSendData(this, count);
}

int TCustomWSocket::SendTo(const plat::TSockAddrIn& dest, int destLen, const void* data,
                           int length) {
  plat::TSockAddrIn to = dest;
  int n = wsock::sendto(FSocketHandle, static_cast<const char*>(data), length, FSendFlags,
                        reinterpret_cast<const plat::TSockAddr*>(&to), destLen);
  if (n > 0) FireSendData(n);
  return n;
}

int TCustomWSocket::SendTo(const TSocketAddress& dest, const void* data, int length) {
  int n = wsock::sendto(FSocketHandle, static_cast<const char*>(data), length, FSendFlags,
                        dest.Raw(), dest.Length);
  if (n > 0) FireSendData(n);
  return n;
}

void TCustomWSocket::ClearSendBuffer() { FSendQueue.Clear(); }

void TCustomWSocket::WaitForEvent() {
  if (FMultiThreaded) {
    if (WaitAndPumpMessages()) FQuitReceived = true;
  } else {
    Application->HandleMessage();
  }
}

bool TCustomWSocket::Terminating() const {
  return FFreeAsked || (FMultiThreaded ? FQuitReceived : Application->Terminated());
}

void TCustomWSocket::Flush() {
  // Waits for the next event instead of polling in a loop: the queue only
  // moves when the socket reports room, which arrives as a message.
  TInUse inUse(*this);
  while (FSocketHandle != INVALID_SOCKET && !FDrained && !Terminating()) {
    TryToSend();
    if (FSocketHandle == INVALID_SOCKET || FDrained) break;
    WaitForEvent();
  }
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  if (FSendFlags == 0) return wsSendNormal;
  if (FSendFlags == 1) return wsSendUrgent;
  RaiseError("Invalid internal SendFlags", plat::WSAEINVAL);
  return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags value) {
  if (value == wsSendNormal) {
    FSendFlags = 0;
  } else if (value == wsSendUrgent) {
    FSendFlags = 1;
  } else {
    RaiseError("Invalid SendFlags", plat::WSAEINVAL);
  }
}

int TCustomWSocket::RecvRaw(void* buffer, int size, int flags) {
  int n = wsock::recv(FSocketHandle, static_cast<char*>(buffer), size, flags);
  if (n > 0) FSocketTaken += n;
  // A stream read that did not fill the buffer took everything there was:
  // the count of what is waiting is known without asking the system. Bytes
  // that arrive after it bring a notification of their own (the read
  // re-armed it), which makes the count unknown again.
  FSocketEmpty =
      FSocketType == plat::kSockStream && flags == 0 && size > 0 &&
      ((n >= 0 && n < size) || (n < 0 && wsock::WSAGetLastError() == plat::WSAEWOULDBLOCK));
  return n;
}

int TCustomWSocket::RecvFromRaw(TSocketHandle handle, void* buffer, int size, int flags,
                                plat::TSockAddr* from, int& fromLen) {
  return wsock::recvfrom(handle, static_cast<char*>(buffer), size, flags, from, &fromLen);
}

int TCustomWSocket::Receive(void* buffer, int size) {
  int n = RecvRaw(buffer, size, 0);
  if (n < 0) {
    FLastError = wsock::WSAGetLastError();
  } else {
    FReadCount += n;
    if (n > 0) HeldBytesRead();
  }
  return n;
}

void TCustomWSocket::HeldBytesRead() {
  if (!FHeldStalled) return;
  FHeldStalled = false;
  PostDeliverMore();
}

void TCustomWSocket::PostDeliverMore() {
  if (!FDeliveryPosted && FSocketHandle != INVALID_SOCKET)
    FDeliveryPosted = plat::PostWindowMessage(FNotifyWindow, MsgDeliverMore, FConnectionSerial, 0);
}

int TCustomWSocket::ReceiveFrom(void* buffer, int size, plat::TSockAddrIn& from, int& fromLen) {
  int n = RecvFromRaw(FSocketHandle, buffer, size, 0, reinterpret_cast<plat::TSockAddr*>(&from),
                      fromLen);
  if (n < 0) {
    FLastError = wsock::WSAGetLastError();
  } else {
    FReadCount += n;
  }
  return n;
}

int TCustomWSocket::ReceiveFrom(void* buffer, int size, TSocketAddress& from) {
  int len = sizeof from.Storage;
  int n = RecvFromRaw(FSocketHandle, buffer, size, 0, from.Raw(), len);
  from.Length = n < 0 ? 0 : len;
  if (n < 0) {
    FLastError = wsock::WSAGetLastError();
  } else {
    FReadCount += n;
  }
  return n;
}

std::int32_t TCustomWSocket::QueryRcvdCount() {
  if (FSocketEmpty) return 0;
  unsigned long count = 0;
  if (wsock::ioctlsocket(FSocketHandle, plat::kFionRead, &count) != 0) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<std::int32_t>(count);
}

std::string TCustomWSocket::ReceiveString() {
  std::int32_t n = RcvdCount();
  if (n < 0) return "";
  if (n == 0) n = 255;
  std::string s(static_cast<std::size_t>(n), '\0');
  int got = Receive(s.data(), n);
  s.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return s;
}

// One piece per notification: a peer that sends without pause would keep a
// loop that reads until the socket is empty from ever returning, and the
// message loop from seeing anything else (a quit among them). While bytes
// are waiting, the next piece comes from the message loop (MsgDeliverMore),
// so a handler that leaves bytes unread is still called again.
void TCustomWSocket::DeliverReceived(std::uint16_t error) {
  if (DeliverOnce(error) > 0) PostDeliverMore();
}

std::int32_t TCustomWSocket::DeliverOnce(std::uint16_t error) {
  if (ReceivingHeld()) return 0;
  const TConnectionMark connection = MarkConnection();
  try {
    FLastError = 0;
    if (!FireDataAvailable(error)) {
      char discard[1024];
      if (RecvRaw(discard, sizeof discard, 0) < 0) {
        int e = wsock::WSAGetLastError();
        if (e == plat::WSAEWOULDBLOCK) {
          FLastError = 0;
          return 0;
        }
        FLastError = e;
      }
    }
    if (FComponentOptions & OptionBit(wsoNoReceiveLoop)) return 0;
    // A failed receive (also a would-block one) ends the delivery, and so
    // does a handler that closed the socket.
    if (FLastError != 0 || ConnectionEnded(connection)) return 0;
    return std::max(QueryRcvdCount(), 0);
  } catch (const std::exception& e) {
    // Like every other event's: OnBgException, then the abort unless the
    // handler keeps the socket. Either way this delivery ends here.
    HandleEventException(e);
    return 0;
  }
}

bool TCustomWSocket::AnythingWaiting() {
  try {
    return QueryRcvdCount() > 0 || LayersHold() > 0;
  } catch (const std::exception&) {
    return false;
  }
}

std::int64_t TCustomWSocket::SendQueueSize() const {
  std::int64_t queued = 0;
  for (const auto& block : FSendQueue.Blocks())
    queued += block->FilledCount() - block->ConsumedCount();
  return queued;
}

void TCustomWSocket::DeliverMore() {
  // The library's own notification may have taken what was waiting. Bytes
  // a layer holds count too, unless they were offered and left unread.
  try {
    if (QueryRcvdCount() <= 0 && (FHeldStalled || LayersHold() <= 0)) return;
  } catch (const std::exception&) {
    return;
  }
  DeliverReceived(0);
}

void TCustomWSocket::WaitUntilClosed() {
  TInUse inUse(*this);
  while (FSocketHandle != INVALID_SOCKET && FState != wsClosed && !Terminating()) {
    PumpMessages();
    unsigned long waiting = 0;
    if (wsock::ioctlsocket(FSocketHandle, plat::kFionRead, &waiting) != 0) break;
    if (waiting > 0) FireDataAvailable(0);
    char probe;
    wsock::WSASetLastError(0);
    if (RecvRaw(&probe, 0, 0) < 1) {
      FLastError = wsock::WSAGetLastError();
      if (FLastError != plat::WSAEWOULDBLOCK) break;
    }
    // Nothing to do until the next event: wait for it rather than spin.
    WaitForEvent();
  }
}
