#include "net/WSocketSync.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "rtl/forms.h"

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int TCustomSyncWSocket::WaitForDone(bool& DoneFlag) {
  const std::int32_t timeout = FWait.timeoutMs;
  const bool limited = timeout > 0;
  // A local deadline: a wait started by a handler inside this one (with a
  // limit of its own) leaves it alone.
  const std::int64_t deadline = NowMs() + (limited ? timeout : 0);
  TInUse inUse(*this);
  for (;;) {
    if (DoneFlag) return 0;
    const std::int64_t left = deadline - NowMs();
    if (limited && left < 0) return kWaitTimedOut;
    if (Terminating() || FQuitReceived || Application->Terminated()) return kWaitTimedOut;
    // Sleep in the message wait until something arrives or the time is up
    // (a limit near the largest one still fits the wait's argument), then
    // run what arrived.
    plat::WaitForMessage(limited ? static_cast<int>(std::min<std::int64_t>(left + 1, INT32_MAX))
                                 : -1);
    PumpMessages();
  }
}

int TCustomSyncWSocket::StartAndWait(const std::function<void()>& Starter, bool& DoneFlag) {
  DoneFlag = false;
  if (Starter) Starter();
  return WaitForDone(DoneFlag);
}
