// Line mode: collecting arrivals, finding line ends, handing out one line
// per OnDataAvailable, the limit, echo and editing, and redelivery after a
// change of mode.
#include "net/WSocketLine.h"

#include <algorithm>
#include <cstring>

namespace {

// The most taken from the socket in one arrival: a first read of a
// connection takes up to the smaller size, and a read that fills it doubles
// it for the next, up to the larger. Bytes are taken only when no complete
// line is held, so this (with LineLimit) bounds what the layer holds; a
// quiet connection keeps a small buffer, and a streaming one makes a
// quarter as many trips through the event loop, while a piece this size
// still stays in the processor's cache between the read and the handler's
// copy of each line.
constexpr int kFirstArrival = 65536;
constexpr int kMostArrival = 262144;

// Counts a handler of ours while it runs, also when it throws.
class THandlerScope {
 public:
  explicit THandlerScope(int& running) : running_(running) { ++running_; }
  ~THandlerScope() { --running_; }
  THandlerScope(const THandlerScope&) = delete;
  THandlerScope& operator=(const THandlerScope&) = delete;

 private:
  int& running_;
};

}  // namespace

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner) : TLineLayerBelow(owner) {
  FLineEnd = "\r\n";
  FLineMode = false;
  FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() { FLine.Forget(); }

void TCustomLineWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg != MsgDeliverBuffered) return TLineLayerBelow::HandleWindowMessage(msg);
  // One posted for an earlier connection has nothing to do with this one.
  if (msg.WParam != ConnectionSerial() || FSocketHandle == INVALID_SOCKET) return;
  try {
    DeliverBuffered();
  } catch (const std::exception& e) {
    HandleEventException(e);
  }
}

void TCustomLineWSocket::AssignLineMode(bool value) {
  if (value == FLineMode) return;
  FLineMode = value;
  Restart();
}

void TCustomLineWSocket::SetLineEnd(const std::string& value) {
  if (value == FLineEnd) return;
  FLineEnd = value;
  Restart();
}

void TCustomLineWSocket::Restart() {
  // A line that was being handed out is one no longer: what is left of it
  // is held bytes like any other, handed out raw or split afresh.
  FLine.pending = 0;
  FLine.scanFrom = 0;
  FHeldStalled = false;
  // Posted, not handled here: the caller is usually a handler that is still
  // running, and the held bytes go out under the new mode once it returns.
  if (FLine.held.Count() > 0 && FSocketHandle != INVALID_SOCKET)
    plat::PostWindowMessage(FNotifyWindow, MsgDeliverBuffered, ConnectionSerial(), 0);
}

std::int32_t TCustomLineWSocket::QueryRcvdCount() {
  // A line its handler left unread does not count as waiting, or the
  // delivery loop below would offer it again and again.
  if (Splitting()) return FHeldStalled ? 0 : FLine.pending;
  if (FLine.held.Count() > 0) return FHeldStalled ? 0 : FLine.held.Count();
  return TLineLayerBelow::QueryRcvdCount();
}

std::int32_t TCustomLineWSocket::LayersHold() {
  return FLine.held.Count() + TLineLayerBelow::LayersHold();
}

void TCustomLineWSocket::TransportChanged() {
  FLine.Forget();
  TLineLayerBelow::TransportChanged();
}

inline std::string TCustomLineWSocket::TakePendingLine() {
  // One copy, from the held bytes straight into the string returned (one
  // return, so the string is built in the caller's place): no string
  // filled first and no trip down Receive and RecvRaw for bytes that are
  // right here.
  const int n = FLine.pending;
  std::string line(FLine.held.Data(), static_cast<std::size_t>(n));
  FLine.held.Drop(n);
  FLine.pending = 0;
  FLine.scanFrom = std::max(0, FLine.scanFrom - n);
  FReadCount += n;
  HeldBytesRead();
  return line;
}

std::string TCustomLineWSocket::ReceiveString() {
  if (!Splitting() || FLine.pending == 0) return TLineLayerBelow::ReceiveString();
  return TakePendingLine();
}

int TCustomLineWSocket::RecvRaw(void* buffer, int size, int flags) {
  int n;
  if (FLine.pending > 0 && size > 0 && Splitting()) {
    // The usual read: a line handler reading its line (held, so at least
    // `pending` bytes are there).
    n = std::min(size, FLine.pending);
    std::memcpy(buffer, FLine.held.Data(), static_cast<std::size_t>(n));
    FLine.held.Drop(n);
    FLine.pending -= n;
  } else {
    if (size <= 0 || FLine.held.Count() == 0) return TLineLayerBelow::RecvRaw(buffer, size, flags);
    // Older bytes are held (the start of a line): the socket's newer bytes
    // must not overtake them.
    if (Splitting()) {
      wsock::WSASetLastError(plat::WSAEWOULDBLOCK);
      return -1;
    }
    n = FLine.held.Take(static_cast<char*>(buffer), size);
  }
  FLine.scanFrom = std::max(0, FLine.scanFrom - n);
  return n;
}

void TCustomLineWSocket::FireLineLimitExceeded(std::int32_t rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, rcvdLength, clearData);
}

int TCustomLineWSocket::ApplyLineEditing(int& count) {
  std::string echo;
  // The held bytes hold no complete line when an arrival is taken, so the
  // current line starts at the front.
  int low = ApplyLineEdits(FLine.held, count, 0, FLineEnd, FLineEcho, echo);
  count = FLine.held.Count() - low;
  if (!echo.empty()) Send(echo.data(), static_cast<int>(echo.size()));
  return low;
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t error) {
  if (!Splitting()) {
    return OfferHeld([this] { return FLine.held.Count(); },
                     [this, error] { return TLineLayerBelow::FireDataAvailable(error); });
  }
  // Only a notification (or a redelivery) comes here while a line is
  // stalled: something has changed, so it is offered once more.
  FHeldStalled = false;
  if (HandOutLines()) Arrive();
  return true;
}

inline bool TCustomLineWSocket::FireLine() {
  THandlerScope running(FLine.handlersRunning);
  // Once per line: when the layers below would only pass the event on, the
  // core's handler is called straight.
  if (TLineLayerBelow::DataPassesThrough()) return TCustomWSocket::FireDataAvailable(0);
  return TLineLayerBelow::FireDataAvailable(0);
}

bool TCustomLineWSocket::HandOutLines() {
  if (FHeldStalled) return false;
  const TConnectionMark connection = MarkConnection();
  // A handler that pauses the socket, or its receiving, stops the lines
  // too, until Resume or ResumeReceiving.
  while (Splitting() && !ReceivingHeld()) {
    if (FLine.pending == 0) {
      // Read afresh for each line: a handler may have changed the line end.
      const int endLength = static_cast<int>(FLineEnd.size());
      int i = FLine.held.Find(FLineEnd, FLine.scanFrom);
      if (i < 0) {
        FLine.scanFrom = std::max(0, FLine.held.Count() - endLength + 1);
        return true;
      }
      FLine.pending = i + endLength;
      FLine.scanFrom = FLine.pending;
    }
    const std::int32_t before = FLine.pending;
    const bool handled = FireLine();
    if (ConnectionEnded(connection)) return false;  // closed inside the handler
    if (!handled) {
      // Nobody listens: the line is dropped, as the core drops socket data.
      FLine.held.Drop(FLine.pending);
      FLine.scanFrom = std::max(0, FLine.scanFrom - FLine.pending);
      FLine.pending = 0;
    } else if (FLine.pending > 0 && FLine.pending >= before && Splitting()) {
      // A handler that read nothing would be called for ever: the line
      // rests until something changes.
      FHeldStalled = true;
      return false;
    }
  }
  return false;
}

int TCustomLineWSocket::Arrive() {
  const TConnectionMark connection = MarkConnection();
  int n = TakeArrival();
  if (n <= 0 || ConnectionEnded(connection)) return 0;
  if (HandOutLines()) CheckLineLimit();
  return n;
}

int TCustomLineWSocket::TakeArrival() {
  if (FSocketHandle == INVALID_SOCKET) return 0;
  const TConnectionMark connection = MarkConnection();
  if (FLine.arrival == 0) FLine.arrival = kFirstArrival;
  char* at = FLine.held.Reserve(FLine.arrival);
  // The layer below's receive: these bytes are counted in ReadCount when
  // the application reads them, not twice.
  int n = TLineLayerBelow::RecvRaw(at, FLine.arrival, 0);
  if (n <= 0) {
    if (n < 0) FLastError = wsock::WSAGetLastError();
    return 0;
  }
  if (n == FLine.arrival && FLine.arrival < kMostArrival) FLine.arrival *= 2;
  FLine.held.Commit(n);
  int low = FLine.held.Count() - n;
  if (FLineEdit) {
    low = ApplyLineEditing(n);
  } else if (FLineEcho) {
    Send(FLine.held.Data() + low, n);
  }
  if (ConnectionEnded(connection)) return 0;  // the echo found the connection gone
  // A line end split across two arrivals starts before the new bytes.
  int again = std::max(0, low - static_cast<int>(FLineEnd.size()) + 1);
  FLine.scanFrom = std::min(FLine.scanFrom, again);
  return n;
}

void TCustomLineWSocket::CheckLineLimit() {
  const std::int32_t held = FLine.held.Count();
  if (FLineLimit <= 0 || held <= FLineLimit) return;
  const TConnectionMark connection = MarkConnection();
  bool clearData = true;
  {
    THandlerScope running(FLine.handlersRunning);
    FireLineLimitExceeded(held, clearData);
  }
  if (ConnectionEnded(connection) || !clearData) return;
  FLine.held.Clear();
  FLine.pending = 0;
  FLine.scanFrom = 0;
}

void TCustomLineWSocket::DeliverBuffered() {
  const TConnectionMark connection = MarkConnection();
  if (Splitting()) {
    // One pass hands out every complete line held and, when none is left,
    // takes from the socket again, which brings its notifications back.
    FireDataAvailable(0);
    return;
  }
  if (ReceivingHeld()) return;  // ResumeReceiving offers what is held
  while (FLine.held.Count() > 0 && !ReceivingHeld()) {
    const int count = FLine.held.Count();
    if (!FireDataAvailable(0)) {
      // Mode off and no handler: dropped, as the core drops socket data.
      FLine.held.Clear();
      FLine.scanFrom = 0;
      break;
    }
    if (ConnectionEnded(connection) || Splitting()) return;
    if (FLine.held.Count() == count) return;  // the handler read none of it
  }
  // Held bytes are out. A line left unread had stopped the reading, so the
  // socket sends no notification for what it took in meanwhile: hand that
  // on here, once; the handler's reads bring the notifications back.
  if (!ConnectionEnded(connection) && !ReceivingHeld() && TLineLayerBelow::QueryRcvdCount() > 0)
    FireDataAvailable(0);
}

void TCustomLineWSocket::HandOutAtClose() {
  const TConnectionMark connection = MarkConnection();
  // The peer sends nothing more: the socket is read to its end here.
  while (HandOutLines() && Arrive() > 0) {
  }
  // Paused by a handler: the rest is dropped with the connection, as the
  // core drops what a paused socket still holds at the peer's close.
  if (ConnectionEnded(connection) || ReceivingHeld() || !Splitting() || FHeldStalled ||
      FLine.held.Count() == 0)
    return;
  // What is left becomes the last line, without a line end.
  FLine.pending = FLine.held.Count();
  FLine.scanFrom = FLine.pending;
  while (Splitting() && FLine.pending > 0) {
    const std::int32_t before = FLine.pending;
    const bool handled = FireLine();
    if (ConnectionEnded(connection) || !handled || FLine.pending >= before) return;
  }
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t error) {
  // The peer's close is reported while the socket is still open: what it
  // sent goes out first. A close the application asked for (the socket is
  // closed already) drops what is held, and so does any close inside one of
  // our handlers: handing lines out then would call the handler again from
  // within itself.
  if (FState != wsClosed && FLine.handlersRunning == 0 && !FHeldStalled && Splitting())
    HandOutAtClose();
  FLine.Forget();
  TLineLayerBelow::FireSessionClosed(error);
}

void TCustomLineWSocket::ForgetConnectionData() {
  // Only the peer's close hands the held bytes out (FireSessionClosed); a
  // connection lost or replaced drops them with it.
  FLine.Forget();
  TLineLayerBelow::ForgetConnectionData();
}
