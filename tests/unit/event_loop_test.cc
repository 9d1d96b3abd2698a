// The event loop's rules, as a server at scale depends on them: a socket's
// notification is not repeated until the call that consumes it, none is
// lost, a socket closed while its events wait gets none of them, many
// sockets ready at once are all served, a burst of connects is accepted
// whole, and waiting beside sockets left unread uses no processor time.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "tests/unit/net_test_util.h"

namespace {

constexpr std::uint32_t kMsg = plat::kWmUser + 1;

// Counts the notifications of every socket registered with it.
class Collector : public plat::MessageTarget {
 public:
  Collector() : window_(plat::CreateHiddenWindow("EventLoopTest", this)) {}
  ~Collector() { plat::DestroyHiddenWindow(window_); }
  plat::WindowHandle Window() const { return window_; }
  std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t wParam, std::intptr_t lParam) override {
    plat::TNotification n = plat::UnpackNotification(lParam);
    for (std::uint16_t bit :
         {plat::kFdRead, plat::kFdWrite, plat::kFdAccept, plat::kFdConnect, plat::kFdClose}) {
      if (n.low & bit) ++counts_[{static_cast<plat::TSocket>(wParam), bit}];
    }
    if (OnEvent) OnEvent(static_cast<plat::TSocket>(wParam), n.low);
    return 0;
  }
  int Count(plat::TSocket s, std::uint16_t bit) const {
    auto it = counts_.find({s, bit});
    return it == counts_.end() ? 0 : it->second;
  }
  std::function<void(plat::TSocket, std::uint16_t)> OnEvent;

 private:
  plat::WindowHandle window_;
  std::map<std::pair<plat::TSocket, std::uint16_t>, int> counts_;
};

plat::TSockAddrIn Loopback(std::uint16_t port) {
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(port);
  a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
  return a;
}

// A listening socket of the library's own, blocking, on a free port.
class RawListener {
 public:
  RawListener() {
    s_ = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
    plat::TSockAddrIn a = Loopback(0);
    int len = sizeof a;
    wsock::bind(s_, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a);
    wsock::listen(s_, 4096);
    wsock::getsockname(s_, reinterpret_cast<plat::TSockAddr*>(&a), &len);
    port_ = wsock::ntohs(a.sin_port);
  }
  ~RawListener() { wsock::closesocket(s_); }
  plat::TSocket Handle() const { return s_; }
  std::uint16_t Port() const { return port_; }
  plat::TSocket Accept() { return wsock::accept(s_, nullptr, nullptr); }

 private:
  SocketLibraryUse use_;
  plat::TSocket s_;
  std::uint16_t port_ = 0;
};

// A client socket told to `c`, connected to `l`, and the peer's end of it.
struct Pair {
  plat::TSocket client, peer;
};

Pair Connect(RawListener& l, Collector& c, long mask) {
  Pair p{wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp), 0};
  wsock::WSAAsyncSelect(p.client, c.Window(), kMsg, mask | plat::kFdConnect);
  plat::TSockAddrIn a = Loopback(l.Port());
  wsock::connect(p.client, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a);
  p.peer = l.Accept();
  return p;
}

constexpr long kReadMask = plat::kFdRead | plat::kFdClose;

TEST(EventLoop, ReadIsToldOnceUntilReadAndAgainOnlyWhileBytesRemain) {
  struct Case {
    const char* name;
    int read;      // bytes the application reads after the first FD_READ, -1 none
    int expected;  // FD_READs in all
  };
  const Case cases[] = {
      {"not read: not told again", -1, 1},
      {"read in part: told again", 40, 2},
      {"read whole: not told again", 100, 1},
  };
  RawListener l;
  for (const Case& k : cases) {
    Collector c;
    Pair p = Connect(l, c, kReadMask);
    ASSERT_TRUE(RunUntil([&] { return c.Count(p.client, plat::kFdConnect) == 1; })) << k.name;
    std::string data(100, 'x');
    wsock::send(p.peer, data.data(), 100, 0);
    ASSERT_TRUE(RunUntil([&] { return c.Count(p.client, plat::kFdRead) == 1; })) << k.name;
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(c.Count(p.client, plat::kFdRead), 1) << k.name;
    if (k.read >= 0) {
      char buf[100];
      EXPECT_EQ(wsock::recv(p.client, buf, k.read, 0), k.read) << k.name;
    }
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(c.Count(p.client, plat::kFdRead), k.expected) << k.name;
    wsock::closesocket(p.client);
    wsock::closesocket(p.peer);
  }
}

TEST(EventLoop, NoByteIsLostWhenTheApplicationReadsLessThanWaits) {
  // Seven bytes per notification: whatever a read leaves is told again,
  // whether it came in one burst or piece by piece between the reads.
  for (bool burst : {true, false}) {
    RawListener l;
    Collector c;
    Pair p = Connect(l, c, kReadMask);
    std::string got;
    c.OnEvent = [&](plat::TSocket s, std::uint16_t bits) {
      if (s != p.client || !(bits & plat::kFdRead)) return;
      char buf[7];
      int n = wsock::recv(s, buf, sizeof buf, 0);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    };
    std::string sent;
    for (int i = 0; i < 60; ++i) {
      std::string piece = std::to_string(i) + ";";
      wsock::send(p.peer, piece.data(), static_cast<int>(piece.size()), 0);
      sent += piece;
      if (!burst) {
        ASSERT_TRUE(RunUntil([&] { return got.size() >= sent.size(); })) << burst;
      }
    }
    ASSERT_TRUE(RunUntil([&] { return got.size() >= sent.size(); })) << burst;
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(got, sent) << burst;
    wsock::closesocket(p.client);
    wsock::closesocket(p.peer);
  }
}

TEST(EventLoop, ManySocketsReadyAtOnceAreAllServedOnce) {
  constexpr int kSockets = 300;
  RawListener l;
  Collector c;
  std::vector<Pair> pairs;
  for (int i = 0; i < kSockets; ++i) pairs.push_back(Connect(l, c, kReadMask));
  ASSERT_TRUE(RunUntil([&] {
    for (const Pair& p : pairs) {
      if (c.Count(p.client, plat::kFdConnect) != 1) return false;
    }
    return true;
  }));
  for (const Pair& p : pairs) wsock::send(p.peer, "x", 1, 0);
  ASSERT_TRUE(RunUntil([&] {
    for (const Pair& p : pairs) {
      if (c.Count(p.client, plat::kFdRead) == 0) return false;
    }
    return true;
  }));
  EXPECT_TRUE(PumpUntilIdle());
  int repeated = 0;
  for (const Pair& p : pairs) repeated += c.Count(p.client, plat::kFdRead) != 1;
  EXPECT_EQ(repeated, 0);
  for (const Pair& p : pairs) {
    wsock::closesocket(p.client);
    wsock::closesocket(p.peer);
  }
}

TEST(EventLoop, ASocketClosedWhileItsEventsWaitGetsNone) {
  // Both sockets are readable in the same pass; the first one's handler
  // closes the second, whose notification is then already queued.
  LoopbackServer server;
  TWSocket a(nullptr), b(nullptr);
  int readsA = 0, readsB = 0;
  for (TWSocket* s : {&a, &b}) {
    s->AssignAddr("127.0.0.1");
    s->AssignPort(server.Port());
    s->Connect();
  }
  ASSERT_TRUE(RunUntil([&] {
    return a.State() == wsConnected && b.State() == wsConnected && server.peers.size() == 2;
  }));
  a.OnDataAvailable = [&](TObject*, std::uint16_t) {
    ++readsA;
    a.ReceiveString();
    if (readsB == 0) b.Close();
  };
  b.OnDataAvailable = [&](TObject*, std::uint16_t) {
    ++readsB;
    b.ReceiveString();
    if (readsA == 0) a.Close();
  };
  EXPECT_TRUE(PumpUntilIdle());
  for (auto& peer : server.peers) peer->SendString("data");
  ASSERT_TRUE(RunUntil([&] { return readsA + readsB > 0; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(readsA + readsB, 1);
}

TEST(EventLoop, ABurstOfConnectsIsAcceptedWhole) {
  constexpr int kClients = 200;
  TWSocket listener(nullptr);
  EXPECT_EQ(listener.ListenBacklog(), plat::ListenBacklogMax());
  ASSERT_GT(listener.ListenBacklog(), kClients);  // the system's maximum, not 5
  listener.AssignAddr("127.0.0.1");
  listener.AssignPort("0");
  int told = 0, accepted = 0, failed = 0;
  std::vector<TSocketHandle> handles;
  listener.OnError = [&](TObject*) { ++failed; };
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    ++told;
    TSocketHandle h = listener.Accept();
    if (h == INVALID_SOCKET) return;
    ++accepted;
    handles.push_back(h);
  };
  listener.Listen();
  std::uint16_t port = static_cast<std::uint16_t>(std::stoi(listener.ReadBoundPort()));
  // Blocking connects, all made before the loop runs: the kernel's queue
  // holds them all, the way a burst comes to a busy server.
  std::vector<plat::TSocket> clients;
  for (int i = 0; i < kClients; ++i) {
    plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
    plat::TSockAddrIn a = Loopback(port);
    ASSERT_EQ(wsock::connect(s, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a), 0);
    clients.push_back(s);
  }
  ASSERT_TRUE(RunUntil([&] { return accepted == kClients; }));
  EXPECT_TRUE(PumpUntilIdle());
  // Each notification had a connection behind it: none told twice.
  EXPECT_EQ(told, kClients);
  EXPECT_EQ(failed, 0);
  for (TSocketHandle h : handles) wsock::closesocket(h);
  for (plat::TSocket s : clients) wsock::closesocket(s);
}

TEST(EventLoop, ASessionIsOfferedOnlyWhileAConnectionWaits) {
  struct Case {
    const char* name;
    int connects;
    bool accept;  // the handler accepts
    int expected;
  };
  const Case cases[] = {
      // An FD_ACCEPT for a connection taken already (here: made up).
      {"nothing waiting: no event", 0, true, 0},
      {"a handler that takes none is not offered more", 3, false, 1},
      {"a handler that takes each is offered each", 3, true, 3},
  };
  for (const Case& k : cases) {
    TWSocket listener(nullptr);
    listener.AssignAddr("127.0.0.1");
    listener.AssignPort("0");
    int told = 0;
    std::vector<TSocketHandle> accepted;
    listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
      ++told;
      if (k.accept) accepted.push_back(listener.Accept());
    };
    listener.Listen();
    std::uint16_t port = static_cast<std::uint16_t>(std::stoi(listener.ReadBoundPort()));
    std::vector<plat::TSocket> clients;
    for (int i = 0; i < k.connects; ++i) {
      clients.push_back(wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp));
      plat::TSockAddrIn a = Loopback(port);
      wsock::connect(clients.back(), reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a);
    }
    if (k.connects == 0) {
      plat::PostWindowMessage(listener.Handle(), MsgSocketEvent, listener.HSocket(),
                              plat::PackNotification(plat::kFdAccept, 0));
    } else {
      ASSERT_TRUE(RunUntil([&] { return told > 0; })) << k.name;
    }
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(told, k.expected) << k.name;
    for (TSocketHandle h : accepted) wsock::closesocket(h);
    for (plat::TSocket c : clients) wsock::closesocket(c);
  }
}

TEST(EventLoop, WaitingBesideSocketsLeftUnreadUsesNoProcessorTime) {
  // A readable socket whose FD_READ was not consumed, and a listener whose
  // FD_ACCEPT was not: the system keeps saying they are ready, which must
  // not turn the wait into a spin.
  RawListener l;
  Collector c;
  Pair p = Connect(l, c, kReadMask);
  wsock::WSAAsyncSelect(l.Handle(), c.Window(), kMsg, plat::kFdAccept);
  plat::TSocket queued = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
  plat::TSockAddrIn a = Loopback(l.Port());
  wsock::connect(queued, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a);
  wsock::send(p.peer, "unread", 6, 0);
  ASSERT_TRUE(RunUntil([&] {
    return c.Count(p.client, plat::kFdRead) == 1 && c.Count(l.Handle(), plat::kFdAccept) == 1;
  }));
  double cpu0 = plat::ProcessCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(500)) {
    Application->ProcessMessages();
    plat::WaitForMessage(100);
  }
  double cpuMs = (plat::ProcessCpuSeconds() - cpu0) * 1000;
  // A spin takes most of the half second even on a busy machine; a wait
  // that sleeps, a millisecond or two.
  EXPECT_LT(cpuMs, 100) << "processor time of the wait, ms";
  EXPECT_EQ(c.Count(p.client, plat::kFdRead), 1);
  EXPECT_EQ(c.Count(l.Handle(), plat::kFdAccept), 1);
  for (plat::TSocket s : {p.client, p.peer, queued}) wsock::closesocket(s);
}

}  // namespace
