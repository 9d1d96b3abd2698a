#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "rtl/forms.h"

namespace {

class Recorder : public plat::MessageTarget {
 public:
  std::vector<std::pair<std::uint32_t, std::uintptr_t>> seen;
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) override {
    seen.emplace_back(msg, wParam);
    return 0;
  }
};

class Window {
 public:
  explicit Window(plat::MessageTarget* t)
      : handle(plat::CreateHiddenWindow("KestrunTestWindow", t)) {}
  ~Window() { plat::DestroyHiddenWindow(handle); }
  plat::WindowHandle handle;
};

// Takes everything waiting; returns whether WM_QUIT was among it.
bool Drain() {
  bool quit = plat::TakeStopRequest();
  plat::Message m;
  while (plat::PeekMessageRemove(&m)) {
    if (m.msg == plat::kWmQuit) {
      quit = true;
    } else {
      plat::DispatchQueued(m);
    }
  }
  return quit;
}

TEST(MessageQueue, DeliversInPostingOrderToTheRightWindow) {
  Recorder a, b;
  Window wa(&a), wb(&b);
  ASSERT_NE(wa.handle, 0u);
  for (std::uintptr_t i = 0; i < 5; ++i) {
    plat::PostWindowMessage(i % 2 ? wb.handle : wa.handle, plat::kWmUser + 1, i, 0);
  }
  EXPECT_FALSE(Drain());
  EXPECT_EQ(a.seen, (decltype(a.seen){
                        {plat::kWmUser + 1, 0}, {plat::kWmUser + 1, 2}, {plat::kWmUser + 1, 4}}));
  EXPECT_EQ(b.seen, (decltype(b.seen){{plat::kWmUser + 1, 1}, {plat::kWmUser + 1, 3}}));
}

TEST(MessageQueue, MessageForDestroyedWindowIsDropped) {
  Recorder a;
  plat::WindowHandle gone;
  {
    Window w(&a);
    gone = w.handle;
    plat::PostWindowMessage(gone, plat::kWmUser + 7, 1, 0);
  }
  Drain();
  EXPECT_TRUE(a.seen.empty());
}

TEST(MessageQueue, PostFromAnotherThreadWakesABlockedWait) {
  Recorder a;
  Window w(&a);
  Drain();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    plat::PostWindowMessage(w.handle, plat::kWmUser + 2, 42, 0);
  });
  EXPECT_TRUE(plat::WaitForMessage(10000));  // returns on the post, not the timeout
  poster.join();
  Drain();
  ASSERT_EQ(a.seen.size(), 1u);
  EXPECT_EQ(a.seen[0].second, 42u);
}

TEST(MessageQueue, BoundedWaitTimesOutWhenNothingComes) {
  Drain();
  EXPECT_FALSE(plat::WaitForMessage(30));
}

TEST(MessageQueue, QuitFromAnotherThreadEndsTheApplicationWait) {
  Recorder a;
  Window w(&a);
  std::thread([] { plat::PostQuit(); }).join();
  TApplication app;
  while (!app.Terminated()) app.HandleMessage();
  EXPECT_TRUE(a.seen.empty());
  EXPECT_FALSE(Drain());  // the quit is taken once
}

// A stop is a flag, not a message behind the others: a queue full of
// notifications (a server flooding the connection) does not delay it, and
// what was queued waits for the next pump.
TEST(MessageQueue, AStopComesBeforeEverythingAlreadyQueued) {
  Recorder a;
  Window w(&a);
  for (int i = 0; i < 1000; ++i) plat::PostWindowMessage(w.handle, plat::kWmUser + 3, 1, 0);
  std::thread([] { plat::PostQuit(); }).join();
  TApplication app;
  app.ProcessMessages();
  EXPECT_TRUE(app.Terminated());
  EXPECT_TRUE(a.seen.empty());
  Drain();
  EXPECT_EQ(a.seen.size(), 1000u);
}

// Posts itself another message whenever it gets one: a queue that never
// runs dry, as a socket's receive loop makes it while a peer floods it.
class Repeater : public plat::MessageTarget {
 public:
  plat::WindowHandle self = 0;
  int calls = 0;
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t) override {
    if (++calls < 100000) plat::PostWindowMessage(self, msg, 0, 0);
    return 0;
  }
};

TEST(MessageQueue, QuitEndsProcessingAlthoughTheQueueNeverRunsDry) {
  Repeater r;
  Window w(&r);
  r.self = w.handle;
  plat::PostWindowMessage(w.handle, plat::kWmUser + 4, 0, 0);
  std::thread([] { plat::PostQuit(); }).join();
  TApplication app;
  app.ProcessMessages();
  EXPECT_TRUE(app.Terminated());
  EXPECT_LT(r.calls, 10);  // it stopped at the quit, not when the repeating ended
}

class Thrower : public plat::MessageTarget {
 public:
  int calls = 0;
  std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t wParam, std::intptr_t) override {
    ++calls;
    if (wParam == 1) throw std::runtime_error("handler failed");
    return 0;
  }
};

TEST(MessageQueue, ErrorEscapingAHandlerIsReportedAndTheLoopGoesOn) {
  Thrower t;
  Window w(&t);
  std::vector<std::string> reported;
  Application->ErrorWriter = [&](const std::string& text) { reported.push_back(text); };
  plat::PostWindowMessage(w.handle, plat::kWmUser + 1, 1, 0);
  plat::PostWindowMessage(w.handle, plat::kWmUser + 1, 2, 0);
  Application->ProcessMessages();
  Application->ErrorWriter = nullptr;
  EXPECT_EQ(t.calls, 2);
  EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
}

}  // namespace
