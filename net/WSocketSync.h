// TCustomSyncWSocket: lets code that wants to block wait for an asynchronous
// step of the socket. The wait runs the message loop, so every event keeps
// flowing, until a flag set by the step's handler becomes true, the time
// limit passes, or the application is ending. Waiting blocks in the
// message wait (no spinning), on a monotonic clock, and each wait has its
// own deadline, so a wait nested inside a handler does not move the outer
// one's.
#pragma once

#include <cstdint>
#include <functional>

#include "net/WSocketLine.h"

// What a wait returns when it ended without its flag: the time limit
// passed, or the application is quitting.
constexpr int kWaitTimedOut = 12001;

// What the synchronous waits keep between calls: their time limit. Each
// wait's deadline is its own (a local of the wait).
struct TSyncWaitState {
  std::int32_t timeoutMs = 0;  // 0 or less: no limit
};

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  using TCustomLineWSocket::TCustomLineWSocket;

  // Milliseconds; 0 or less waits without a limit.
  std::int32_t Timeout() const { return FWait.timeoutMs; }
  void SetTimeout(std::int32_t value) { FWait.timeoutMs = value; }

  // 0 once DoneFlag is true, kWaitTimedOut when the wait ended without it.
  virtual int WaitForDone(bool& DoneFlag);
  // Clears DoneFlag, calls Starter when assigned, then WaitForDone.
  virtual int StartAndWait(const std::function<void()>& Starter, bool& DoneFlag);

 protected:
  TSyncWaitState FWait;
};
