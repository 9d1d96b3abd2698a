// Line mode: collecting arrivals, finding line ends, handing out one line
// per OnDataAvailable, the limit, echo and editing, and redelivery after a
// change of mode.
#include "net/WSocketLine.h"

#include <algorithm>

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {
  FLineEnd = "\r\n";
  FLineMode = false;
  FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() { FLineBuffer.Release(); }

void TCustomLineWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg != MsgDeliverBuffered) return TCustomSocksWSocket::HandleWindowMessage(msg);
  try {
    DeliverBuffered();
  } catch (const std::exception& e) {
    HandleEventException(e);
  }
}

void TCustomLineWSocket::AssignLineMode(bool value) {
  if (value == FLineMode) return;
  FLineMode = value;
  FScanFrom = 0;
  FLineStalled = false;
  // Posted, not handled here: the caller is usually a handler that is still
  // running, and the held bytes go out under the new mode once it returns.
  if (FLineBuffer.Count() > 0 || FPendingLineLength > 0)
    plat::PostWindowMessage(FNotifyWindow, MsgDeliverBuffered, 0, 0);
}

std::int32_t TCustomLineWSocket::QueryRcvdCount() {
  if (Splitting()) return FPendingLineLength;
  if (FLineBuffer.Count() > 0) return FLineBuffer.Count();
  return TCustomSocksWSocket::QueryRcvdCount();
}

int TCustomLineWSocket::RecvRaw(void* buffer, int size, int flags) {
  if (size > 0) {
    auto take = [&](int most) {
      int n = FLineBuffer.Take(static_cast<char*>(buffer), std::min(size, most));
      FScanFrom = std::max(0, FScanFrom - n);
      if (n > 0) FLineStalled = false;
      return n;
    };
    if (Splitting()) {
      if (FPendingLineLength > 0) {
        int n = take(FPendingLineLength);
        FPendingLineLength -= n;
        return n;
      }
      // Older bytes are held (the start of a line): the socket's newer
      // bytes must not overtake them.
      if (FLineBuffer.Count() > 0) {
        wsock::WSASetLastError(plat::WSAEWOULDBLOCK);
        return -1;
      }
    } else if (FLineBuffer.Count() > 0) {
      return take(FLineBuffer.Count());
    }
  }
  return TCustomSocksWSocket::RecvRaw(buffer, size, flags);
}

void TCustomLineWSocket::FireLineLimitExceeded(std::int32_t rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, rcvdLength, clearData);
}

int TCustomLineWSocket::ApplyLineEditing(int& count) {
  std::string echo;
  int low = ApplyLineEdits(FLineBuffer, count, FLineEcho, echo);
  count = FLineBuffer.Count() - low;
  if (!echo.empty()) Send(echo.data(), static_cast<int>(echo.size()));
  return low;
}

int TCustomLineWSocket::TakeArrival() {
  if (FSocketHandle == INVALID_SOCKET) return 0;
  std::int32_t waiting = TCustomSocksWSocket::QueryRcvdCount();
  if (waiting < 0) return 0;
  // A reader that cannot tell how much is waiting still asks for a useful
  // amount; asking for more than is there costs nothing.
  int want = std::max<std::int32_t>(waiting, 4096);
  char* at = FLineBuffer.Reserve(want);
  // The layer below's receive: these bytes are counted in ReadCount when
  // the application reads them, not twice.
  int n = TCustomSocksWSocket::RecvRaw(at, want, 0);
  if (n <= 0) {
    if (n < 0) FLastError = wsock::WSAGetLastError();
    return 0;
  }
  FLineBuffer.Commit(n);
  int low = FLineBuffer.Count() - n;
  if (FLineEdit) {
    low = ApplyLineEditing(n);
  } else if (FLineEcho) {
    Send(FLineBuffer.Data() + low, n);
  }
  // A line end split across two arrivals starts before the new bytes.
  int again = std::max(0, low - static_cast<int>(FLineEnd.size()) + 1);
  FScanFrom = std::min(FScanFrom, again);
  return n;
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t error) {
  if (!Splitting()) return TCustomSocksWSocket::FireDataAvailable(error);
  if (FPendingLineLength == 0) {
    // Nothing known to be unsearched yet: everything before the new bytes
    // was searched by an earlier pass.
    FScanFrom = std::max(0, std::min(FScanFrom, FLineBuffer.Count()));
  }
  if (TakeArrival() <= 0 && FLineStalled) return true;  // nothing new for it
  FLineStalled = false;
  if (!HandOutLines(FPendingLineLength > 0 ? 0 : FScanFrom)) return true;
  if (FLineLimit > 0 && FLineBuffer.Count() > FLineLimit) {
    FClearDataFlag = true;
    FireLineLimitExceeded(FLineBuffer.Count(), FClearDataFlag);
    if (FClearDataFlag) {
      FLineBuffer.Clear();
      FPendingLineLength = 0;
      FScanFrom = 0;
      FClearDataFlag = false;
    }
  }
  return true;
}

bool TCustomLineWSocket::HandOutLines(int from) {
  const TSocketHandle handle = FSocketHandle;
  const int endLength = static_cast<int>(FLineEnd.size());
  while (Splitting()) {
    if (FPendingLineLength == 0) {
      int i = FLineBuffer.Find(FLineEnd, from);
      if (i < 0) {
        FScanFrom = std::max(0, FLineBuffer.Count() - endLength + 1);
        return true;
      }
      FPendingLineLength = i + endLength;
    }
    while (Splitting() && FPendingLineLength > 0) {
      std::int32_t before = FPendingLineLength;
      if (!TCustomSocksWSocket::FireDataAvailable(0)) {
        FLineBuffer.Drop(FPendingLineLength);  // nobody listens: the line is dropped
        FPendingLineLength = 0;
        break;
      }
      if (FSocketHandle != handle) return false;  // closed inside the handler
      // A handler that read nothing would be called for ever: the line
      // stays pending for the next arrival or redelivery.
      if (FPendingLineLength >= before) {
        FLineStalled = true;
        return false;
      }
    }
    if (FPendingLineLength > 0) return false;  // the mode went off mid-line
    from = 0;
    FScanFrom = 0;
  }
  return false;
}

void TCustomLineWSocket::DeliverBuffered() {
  const TSocketHandle handle = FSocketHandle;
  while (FLineBuffer.Count() > 0) {
    int count = FLineBuffer.Count();
    std::int32_t pending = FPendingLineLength;
    if (!FireDataAvailable(0)) {
      // Mode off and no handler: dropped, as the core drops socket data.
      FLineBuffer.Clear();
      FPendingLineLength = 0;
      FScanFrom = 0;
      break;
    }
    if (FSocketHandle != handle) break;
    if (FLineBuffer.Count() == count && FPendingLineLength == pending) break;  // no progress
  }
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t error) {
  if (FLineMode && !FLineEnd.empty() && FLineBuffer.Count() > 0 && !FClearDataFlag) {
    // Complete lines first, then what is left as the last line, without a
    // line end, before the close is reported.
    if (HandOutLines(FPendingLineLength > 0 ? 0 : FScanFrom) && FLineBuffer.Count() > 0) {
      FPendingLineLength = FLineBuffer.Count();
      while (FLineMode && FPendingLineLength > 0) {
        std::int32_t before = FPendingLineLength;
        if (!TCustomSocksWSocket::FireDataAvailable(0) || FPendingLineLength >= before) break;
      }
    }
  }
  FLineBuffer.Release();
  FPendingLineLength = 0;
  FScanFrom = 0;
  FLineStalled = false;
  TCustomSocksWSocket::FireSessionClosed(error);
}

void TCustomLineWSocket::ForgetConnectionData() {
  // Only an orderly close hands the held bytes out (FireSessionClosed);
  // a connection lost or replaced drops them with it.
  FLineBuffer.Release();
  FPendingLineLength = 0;
  FScanFrom = 0;
  FLineStalled = false;
  FClearDataFlag = false;
  TCustomSocksWSocket::ForgetConnectionData();
}
