// Helpers for socket tests: running the real event loop until something
// happens or until it is idle, a loopback server made of the component
// itself, and a port on which nothing listens.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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

// Pumps the event loop until it is idle: the queue has run dry and nothing
// more has come for `quietMs`, the time the system may take to post a
// notification for something that has already happened on the network.
// This is how a test shows that nothing else arrives. Returns false if the
// loop never fell quiet within ten seconds.
inline bool PumpUntilIdle(int quietMs = 20) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    Application->ProcessMessages();
    if (std::chrono::steady_clock::now() > deadline) return false;
  } while (plat::WaitForMessage(quietMs));
  return true;
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

// Keeps the socket library loaded while a helper uses sockets of its own
// (the library is unloaded when the last socket object goes): counts as one
// more socket object.
class SocketLibraryUse {
 public:
  SocketLibraryUse() { ++InstanceCount; }
  ~SocketLibraryUse() {
    if (--InstanceCount < 1) UnloadSocketLibrary();
  }
  SocketLibraryUse(const SocketLibraryUse&) = delete;
  SocketLibraryUse& operator=(const SocketLibraryUse&) = delete;
};

// A loopback port on which nothing listens, so that a connection to it is
// refused. The port stays bound (without listening) for the object's life:
// a port number that was only probed and given back could be taken by
// anything else running meanwhile.
class ClosedPort {
 public:
  ClosedPort() {
    socket_ = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
    plat::TSockAddrIn a{};
    a.sin_family = plat::kAfInet;
    a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
    int len = sizeof a;
    if (socket_ == plat::kInvalidSocket ||
        wsock::bind(socket_, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a) != 0 ||
        wsock::getsockname(socket_, reinterpret_cast<plat::TSockAddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "no port to refuse connections on: " << wsock::WSAGetLastError();
      return;
    }
    port_ = std::to_string(wsock::ntohs(a.sin_port));
  }
  ~ClosedPort() {
    if (socket_ != plat::kInvalidSocket) wsock::closesocket(socket_);
  }
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  const std::string& Port() const { return port_; }

 private:
  SocketLibraryUse use_;
  plat::TSocket socket_ = plat::kInvalidSocket;
  std::string port_;
};

// A peer that sends without pause: a server on a thread of its own that
// accepts one connection on a loopback port and sends to it, in blocking
// calls, a line that never ends, until it is stopped, the connection goes,
// or twenty seconds have passed.
class FloodServer {
 public:
  explicit FloodServer(char fill = 'x') {
    listener_ = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
    plat::TSockAddrIn a{};
    a.sin_family = plat::kAfInet;
    a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
    int len = sizeof a;
    if (listener_ == plat::kInvalidSocket ||
        wsock::bind(listener_, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a) != 0 ||
        wsock::getsockname(listener_, reinterpret_cast<plat::TSockAddr*>(&a), &len) != 0 ||
        wsock::listen(listener_, 1) != 0) {
      ADD_FAILURE() << "no flooding server: " << wsock::WSAGetLastError();
      return;
    }
    port_ = std::to_string(wsock::ntohs(a.sin_port));
    thread_ = std::thread([this, fill] { Run(fill); });
  }
  ~FloodServer() { Stop(); }
  FloodServer(const FloodServer&) = delete;
  FloodServer& operator=(const FloodServer&) = delete;

  const std::string& Port() const { return port_; }
  // Whether it is still sending.
  bool Flooding() const { return flooding_; }
  // Stops sending and waits for the thread. The receiving side should have
  // gone first (a blocked send ends when the connection does).
  void Stop() {
    stop_ = true;
    if (listener_ == plat::kInvalidSocket) return;
    plat::TSocket peer = peer_;
    if (peer != plat::kInvalidSocket) wsock::shutdown(peer, 2);
    // An accept still waiting ends with a connection of our own: Winsock,
    // unlike POSIX, does not end it when the listener is shut down.
    plat::TSocket waker = plat::kInvalidSocket;
    if (!accepted_) {
      waker = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
      plat::TSockAddrIn a{};
      a.sin_family = plat::kAfInet;
      a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
      a.sin_port = wsock::htons(static_cast<std::uint16_t>(std::stoi(port_)));
      wsock::connect(waker, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a);
    }
    if (thread_.joinable()) thread_.join();
    if (waker != plat::kInvalidSocket) wsock::closesocket(waker);
    wsock::closesocket(listener_);
    listener_ = plat::kInvalidSocket;
  }

 private:
  void Run(char fill) {
    plat::TSocket peer = wsock::accept(listener_, nullptr, nullptr);
    accepted_ = true;
    if (peer == plat::kInvalidSocket) return;
    if (stop_) {  // the connection that ends the wait
      wsock::closesocket(peer);
      return;
    }
    peer_ = peer;
    std::string chunk(65536, fill);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    flooding_ = true;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (wsock::send(peer, chunk.data(), static_cast<int>(chunk.size()), 0) <= 0) break;
    }
    flooding_ = false;
    peer_ = plat::kInvalidSocket;
    wsock::closesocket(peer);
  }

  SocketLibraryUse use_;
  plat::TSocket listener_ = plat::kInvalidSocket;
  std::atomic<plat::TSocket> peer_{plat::kInvalidSocket};
  std::atomic<bool> stop_{false};
  std::atomic<bool> flooding_{false};
  std::atomic<bool> accepted_{false};
  std::string port_;
  std::thread thread_;
};
