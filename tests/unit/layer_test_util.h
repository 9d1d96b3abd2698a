// Helpers for the layer tests: a scripted SOCKS proxy made of the
// component itself, and an event recorder.
#pragma once

#include <string>
#include <vector>

#include "tests/unit/net_test_util.h"

inline std::string Bin(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

// A SOCKS server that answers only what the test tells it to: it records
// what the client sends and sends what the test gives it.
class ScriptedProxy {
 public:
  std::string received;
  bool peerClosed = false;

  ScriptedProxy() {
    server_.OnAccept = [this](TWSocket& p) {
      p.OnDataAvailable = [this, &p](TObject*, std::uint16_t) { received += p.ReceiveString(); };
      p.OnSessionClosed = [this](TObject*, std::uint16_t) { peerClosed = true; };
    };
  }
  const std::string& Port() const { return server_.Port(); }
  TWSocket* Peer() { return server_.peers.empty() ? nullptr : server_.peers.back().get(); }
  // Waits until the client has sent `n` bytes in all.
  bool Expect(std::size_t n) {
    return RunUntil([&] { return received.size() >= n; });
  }
  // Takes the first `n` bytes received.
  std::string Take(std::size_t n) {
    std::string head = received.substr(0, n);
    received.erase(0, n);
    return head;
  }
  void Send(const std::string& bytes) { Peer()->SendString(bytes); }
  // Sends one byte at a time, letting the client handle each before the next.
  void SendByteByByte(const std::string& bytes, const std::function<void()>& between = {}) {
    for (char c : bytes) {
      Peer()->SendString(std::string(1, c));
      // A short quiet period keeps 200-byte replies fast; a byte whose
      // notification comes later than that is seen by the next round's check.
      EXPECT_TRUE(PumpUntilIdle(2));
      if (between) between();
    }
  }
  // An orderly close (FIN) from the proxy's side.
  void Close() { Peer()->Shutdown(1); }

 private:
  LoopbackServer server_;
};

// Records a socket's events as short texts, in order.
struct LayerLog {
  std::vector<std::string> log;
  std::string data;  // what OnDataAvailable read, when it reads
  void Attach(TWSocket& s, bool readData = true) {
    s.OnSocksConnected = [this](TObject*, std::uint16_t e) {
      log.push_back("socks-connected " + IntToStr(e));
    };
    s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) {
      static const char* names[] = {"started", "succeeded", "failed", "not-needed"};
      log.push_back(std::string("auth ") + names[a]);
    };
    s.OnSocksError = [this](TObject*, std::int32_t e, const std::string& m) {
      log.push_back("socks-error " + IntToStr(e) + " " + m);
    };
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      log.push_back("connected " + IntToStr(e));
    };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      log.push_back("closed " + IntToStr(e));
    };
    if (readData) {
      s.OnDataAvailable = [this, &s](TObject*, std::uint16_t) { data += s.ReceiveString(); };
    }
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};
