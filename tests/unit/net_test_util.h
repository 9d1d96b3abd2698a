// Helpers for socket tests: running the real event loop with a deadline,
// and a loopback server made of the component itself.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/messages.h"
#include "rtl/forms.h"

// Pumps the event loop (blocking between events) until `done` holds or ten
// seconds pass; returns whether it holds.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    Application->ProcessMessages();
    if (done()) break;
    plat::WaitForMessage(static_cast<int>(left.count()));
  }
  return true;
}

// Lets whatever is already on its way arrive, for checks that something did
// NOT happen.
inline void Settle(int ms = 100) {
  RunUntil([] { return false; }, ms);
}

// Pumps the event loop until it is idle: every message queued so far has
// been handled, and so has every message that handling queued, round after
// round until a round brings nothing new. This shows that nothing more
// follows from what has happened, without waiting a fixed time; only work
// of other threads (a name lookup) can still arrive later. A quit message
// is put back and ends the pumping.
inline void PumpUntilIdle() {
  struct Marker final : plat::MessageTarget {
    bool seen = false;
    std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
      seen = true;
      return 0;
    }
  } marker;
  plat::WindowHandle window = plat::CreateHiddenWindow("KestrunIdleMarker", &marker);
  bool quit = false;
  auto handle = [&](const plat::Message& m, int& others) {
    if (m.msg == plat::kWmQuit) {
      quit = true;
      return;
    }
    if (m.window != window) ++others;
    plat::DispatchQueued(m);
  };
  for (int round = 0; round < 100000 && !quit; ++round) {
    int others = 0;
    plat::Message m;
    // Until the queue is empty and the sockets have nothing to report...
    while (!quit && plat::PeekMessageRemove(&m)) handle(m, others);
    // ...and once more through the queue behind a marker of our own, for
    // whatever that handling posted.
    marker.seen = false;
    plat::PostWindowMessage(window, plat::kWmUser, 0, 0);
    while (!marker.seen && !quit) {
      if (plat::PeekMessageRemove(&m)) {
        handle(m, others);
      } else {
        plat::WaitForMessage();
      }
    }
    if (others == 0) break;
  }
  plat::DestroyHiddenWindow(window);
  if (quit) plat::PostQuit();
}

class LoopbackServer {
 public:
  // Called for each accepted connection before it starts receiving events.
  std::function<void(TWSocket&)> OnAccept;
  // Called for each accepted connection once it is connected.
  std::function<void(TWSocket&)> OnReady;
  std::vector<std::unique_ptr<TWSocket>> peers;

  LoopbackServer() : listener_(std::make_unique<TWSocket>(nullptr)) {
    listener_->AssignAddr("127.0.0.1");
    listener_->AssignPort("0");
    listener_->OnSessionAvailable = [this](TObject*, std::uint16_t) {
      TSocketHandle h = listener_->Accept();
      auto peer = std::make_unique<TWSocket>(nullptr);
      if (OnAccept) OnAccept(*peer);
      peer->Dup(h);
      peers.push_back(std::move(peer));
      if (OnReady) OnReady(*peers.back());
    };
    listener_->Listen();
    port_ = listener_->ReadBoundPort();
  }
  const std::string& Port() const { return port_; }

 private:
  std::unique_ptr<TWSocket> listener_;
  std::string port_;
};

// A port on which nothing listens: bound once, then released.
inline std::string ClosedPort() {
  TWSocket probe(nullptr);
  probe.AssignAddr("127.0.0.1");
  probe.AssignPort("0");
  probe.Listen();
  std::string port = probe.ReadBoundPort();
  probe.Close();
  return port;
}
