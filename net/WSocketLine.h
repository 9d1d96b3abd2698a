// TCustomLineWSocket: hands received data out one line at a time.
//
// With LineMode on, bytes are collected here and OnDataAvailable fires once
// per complete line (ending with LineEnd, any byte string); the handler
// reads exactly that line, line end included, with Receive or
// ReceiveString. LineLimit guards against unterminated data piling up;
// LineEcho and LineEdit serve terminal-like peers. With LineMode off,
// anything still held is handed out before newer data from the socket.
//
// A handler that reads nothing is not called again for the same line until
// a new notification comes (the line stays pending), and meanwhile nothing
// more is taken from the socket: a peer that keeps sending is held back by
// TCP, not by our memory. While a line is pending or older bytes are held, a
// read never skips ahead to newer socket data. Lines still held when the
// application closes the connection (or when it closes inside a line
// handler) are dropped; at the peer's close they are handed out first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/LineBuffer.h"
#include "net/WSocketCompress.h"

using TLineLimitEvent =
    std::function<void(TObject* Sender, std::int32_t RcvdLength, bool& ClearData)>;

// Posted to the socket's own window after a change of mode (wParam: the
// socket handle, so that one left over from an earlier connection is
// ignored).
constexpr std::uint32_t MsgDeliverBuffered = plat::kWmUser + 20;

// What line mode holds of the current connection; dropped with it.
struct TLineState {
  // Received bytes not yet handed out, oldest first. While a line is being
  // handed out, its unread bytes are the first `pending` ones.
  TLineBuffer held;
  std::int32_t pending = 0;
  // No line end begins before this position of the held bytes: they were
  // searched already. (A pending line its handler read none of is the
  // core's held-bytes stall: not offered again, and nothing more taken from
  // the socket, until a new notification comes, a read takes some of it,
  // Resume or the mode changes.)
  int scanFrom = 0;
  // The size of the next read from the socket (0: not read yet).
  int arrival = 0;
  // Line handlers (and the limit handler) running: a close inside one must
  // not hand lines out from within it. Calls on the stack, not data of the
  // connection, so Forget leaves it.
  int handlersRunning = 0;

  void Forget() {
    held.Release();
    pending = 0;
    scanFrom = 0;
    arrival = 0;
  }
};

// The layer below line mode, the one name every call down goes through, so
// that a layer put in between needs this line changed and nothing else (and
// a DataPassesThrough of its own, which line mode asks once per line).
using TLineLayerBelow = TCustomCompressWSocket;

class TCustomLineWSocket : public TLineLayerBelow {
 public:
  explicit TCustomLineWSocket(TComponent* owner);
  ~TCustomLineWSocket() override;

  bool LineMode() const { return FLineMode; }
  void SetLineMode(bool value) { AssignLineMode(value); }
  std::int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(std::int32_t value) { FLineLimit = value; }
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& value);
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool value) { FLineEcho = value; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool value) { FLineEdit = value; }
  // Bytes held by the layer (a pending line included).
  std::int32_t LineBufferCount() const { return FLine.held.Count(); }

  // With a line pending, exactly that line (or what is left of it), whatever
  // RcvdCount says of a line its handler left unread. Read straight from the
  // held bytes, as Receive would read it through RecvRaw.
  std::string ReceiveString() override;

  TLineLimitEvent OnLineLimitExceeded;

 protected:
  void HandleWindowMessage(TMessage& msg) override;
  std::int32_t QueryRcvdCount() override;
  std::int32_t LayersHold() override;
  void TransportChanged() override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  void ForgetConnectionData() override;
  int RecvRaw(void* buffer, int size, int flags) override;

  virtual void FireLineLimitExceeded(std::int32_t rcvdLength, bool& clearData);
  virtual void AssignLineMode(bool value);
  // Edits the `count` newly received bytes at the back of the held ones
  // (which are the start of the current line); updates `count` and returns
  // the lowest position that changed.
  virtual int ApplyLineEditing(int& count);

  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  std::int32_t FLineLimit = 65536;
  bool FLineEcho = false;
  bool FLineEdit = false;
  TLineState FLine;

 private:
  // Lines are split only with the mode on, a line end set and no SOCKS
  // negotiation or TLS handshake under way.
  bool Splitting() const {
    return FLineMode && !FLineEnd.empty() && SocksState() == socksIdle && !TlsNegotiating();
  }
  // A change of mode or line end: what is held is split afresh (or handed
  // out raw) from the event loop.
  void Restart();
  // One OnDataAvailable for the pending line; whether a handler took it.
  bool FireLine();
  // ReceiveString's reading of the whole pending line.
  std::string TakePendingLine();
  // Hands out the complete lines held, one OnDataAvailable each. True when
  // none is left; false when it stopped early (a handler left its line
  // unread, changed the mode or ended the connection).
  bool HandOutLines();
  // With no complete line held: one read from the layer below, its lines
  // handed out, then the limit check. Returns the bytes read.
  int Arrive();
  // Reads one piece from the layer below onto the held bytes (edited and
  // echoed as asked); returns the number of bytes that arrived.
  int TakeArrival();
  void CheckLineLimit();
  // At the peer's close: everything it sent, the unterminated rest last.
  void HandOutAtClose();
  // The redelivery that a change of mode asks for.
  void DeliverBuffered();
};
