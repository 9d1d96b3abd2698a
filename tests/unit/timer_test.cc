// Timers of the message queue: what the NNTP client's inactivity limit
// stands on, on both platforms.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "tests/unit/net_test_util.h"

namespace {

class TimerWindow final : public plat::MessageTarget {
 public:
  TimerWindow() : handle(plat::CreateHiddenWindow("KestrunTimerTest", this)) {}
  ~TimerWindow() { plat::DestroyHiddenWindow(handle); }
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam) override {
    if (msg == plat::kWmTimer) {
      fired.push_back(wParam);
      EXPECT_EQ(lParam, 0);
      if (onTimer) onTimer(wParam);
    }
    return 0;
  }
  int Count(std::uintptr_t id) const {
    int n = 0;
    for (std::uintptr_t f : fired) n += f == id;
    return n;
  }
  plat::WindowHandle handle;
  std::vector<std::uintptr_t> fired;
  std::function<void(std::uintptr_t)> onTimer;
};

TEST(WindowTimers, FireAgainAndAgainUntilKilled) {
  TimerWindow w;
  ASSERT_TRUE(plat::SetWindowTimer(w.handle, 7, 15));
  ASSERT_TRUE(RunUntil([&] { return w.Count(7) >= 3; }));
  plat::KillWindowTimer(w.handle, 7);
  int atKill = w.Count(7);
  // A second timer measures time: after it fired three times the first,
  // much faster one would have fired several times more.
  ASSERT_TRUE(plat::SetWindowTimer(w.handle, 8, 50));
  ASSERT_TRUE(RunUntil([&] { return w.Count(8) >= 3; }));
  EXPECT_LE(w.Count(7), atKill + 1);  // one message may have been queued already
  plat::KillWindowTimer(w.handle, 8);
}

TEST(WindowTimers, SettingATimerAgainStartsItsPeriodAnew) {
  TimerWindow w;
  int restarts = 0;
  // Timer 2 restarts timer 1 on every tick, well within timer 1's period,
  // for several of those periods; timer 1 fires only once that stops.
  w.onTimer = [&](std::uintptr_t id) {
    if (id != 2) return;
    if (++restarts < 8) {
      plat::SetWindowTimer(w.handle, 1, 100);
    } else {
      plat::KillWindowTimer(w.handle, 2);
    }
  };
  ASSERT_TRUE(plat::SetWindowTimer(w.handle, 1, 100));
  ASSERT_TRUE(plat::SetWindowTimer(w.handle, 2, 20));
  ASSERT_TRUE(RunUntil([&] { return w.Count(1) >= 1; }));
  EXPECT_GE(restarts, 8);
  plat::KillWindowTimer(w.handle, 1);
}

TEST(WindowTimers, ABlockingWaitEndsWithTheTimersMessage) {
  TimerWindow w;
  PumpUntilIdle();
  ASSERT_TRUE(plat::SetWindowTimer(w.handle, 3, 30));
  // Should the wait not wake for the timer, the watchdog ends it with a
  // message of its own, and the test fails instead of hanging.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!finished) plat::PostWindowMessage(w.handle, plat::kWmUser + 9, 0, 0);
  });
  ASSERT_TRUE(plat::WaitForMessage());
  plat::Message m;
  ASSERT_TRUE(plat::PeekMessageRemove(&m));
  finished = true;
  watchdog.join();
  EXPECT_EQ(m.msg, plat::kWmTimer);
  EXPECT_EQ(m.window, w.handle);
  EXPECT_EQ(m.wParam, 3u);
  plat::KillWindowTimer(w.handle, 3);
}

}  // namespace
