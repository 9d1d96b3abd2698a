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
// more data arrives (the line stays pending); while a line is pending or
// older bytes are held, a read never skips ahead to newer socket data.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/LineBuffer.h"
#include "net/WSocketTls.h"

using TLineLimitEvent =
    std::function<void(TObject* Sender, std::int32_t RcvdLength, bool& ClearData)>;

constexpr std::uint32_t MsgDeliverBuffered = plat::kWmUser + 20;

class TCustomLineWSocket : public TCustomTlsWSocket {
  // The layer below is the TLS layer: the calls written for the SOCKS
  // layer below go through it, so that lines are cut from plain text.
  using TCustomSocksWSocket = TCustomTlsWSocket;

 public:
  explicit TCustomLineWSocket(TComponent* owner);
  ~TCustomLineWSocket() override;

  bool LineMode() const { return FLineMode; }
  void SetLineMode(bool value) { AssignLineMode(value); }
  std::int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(std::int32_t value) { FLineLimit = value; }
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& value) {
    FLineEnd = value;
    FScanFrom = 0;
  }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool value) { FLineEcho = value; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool value) { FLineEdit = value; }
  // Bytes held by the layer (a pending line included).
  std::int32_t LineBufferCount() const { return FLineBuffer.Count(); }

  TLineLimitEvent OnLineLimitExceeded;

 protected:
  void HandleWindowMessage(TMessage& msg) override;
  std::int32_t QueryRcvdCount() override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  void ForgetConnectionData() override;
  int RecvRaw(void* buffer, int size, int flags) override;

  virtual void FireLineLimitExceeded(std::int32_t rcvdLength, bool& clearData);
  virtual void AssignLineMode(bool value);
  // Edits the `count` newly received bytes at the back of the buffer;
  // returns the lowest position that changed.
  virtual int ApplyLineEditing(int& count);

  TLineBuffer FLineBuffer;
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  std::int32_t FPendingLineLength = 0;
  std::int32_t FLineLimit = 65536;
  bool FClearDataFlag = false;
  bool FLineEcho = false;
  bool FLineEdit = false;
  // Used by the synchronous waits of the layer above: the time limit in
  // milliseconds, and the monotonic millisecond at which the latest wait
  // gives up.
  std::int32_t FTimeout = 0;
  std::int64_t FStopTime = 0;
  // Held bytes before this position hold no line end (searched already).
  int FScanFrom = 0;
  // The handler was offered the pending line and read nothing: it is not
  // offered again until more data arrives or someone reads.
  bool FLineStalled = false;

 private:
  // Lines are split only with the mode on, a line end set and no SOCKS
  // negotiation or TLS handshake under way.
  bool Splitting() const {
    return FLineMode && !FLineEnd.empty() && FSocksState == socksIdle && !TlsNegotiating();
  }
  // Reads what the layer below has waiting onto the buffer; returns the
  // number of bytes that arrived.
  int TakeArrival();
  // Hands out the complete lines held, starting the search at `from`.
  // Returns false when it stopped with a line still pending (a handler
  // that read nothing, or the mode turned off).
  bool HandOutLines(int from);
  // The redelivery that a change of mode asks for.
  void DeliverBuffered();
};
