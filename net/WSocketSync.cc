#include "net/WSocketSync.h"

#include <chrono>

#include "rtl/forms.h"

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int TCustomSyncWSocket::WaitForDone(bool& DoneFlag) {
  const bool limited = FTimeout > 0;
  // A local deadline: a wait started by a handler inside this one sets
  // FStopTime for itself and must not change when this one ends.
  const std::int64_t deadline = NowMs() + (limited ? FTimeout : 0);
  FStopTime = deadline;
  for (;;) {
    if (DoneFlag) return 0;
    std::int64_t left = deadline - NowMs();
    if (limited && left < 0) return kWaitTimedOut;
    if (Terminating() || FQuitReceived || Application->Terminated()) return kWaitTimedOut;
    // Sleep in the message wait until something arrives or the time is up,
    // then run what arrived.
    plat::WaitForMessage(limited ? static_cast<int>(left) + 1 : -1);
    PumpMessages();
  }
}

int TCustomSyncWSocket::StartAndWait(const std::function<void()>& Starter, bool& DoneFlag) {
  DoneFlag = false;
  if (Starter) Starter();
  return WaitForDone(DoneFlag);
}
