// Behaviour of the POSIX emulation of the socket library and of the
// message queue that only this side of the platform seam has to provide.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "net/WSockLib.h"
#include "platform/messages.h"
#include "rtl/forms.h"
#include "tests/unit/net_test_util.h"

namespace {

struct Event {
  std::uint16_t bits;
  std::uint16_t error;
};

class Collector : public plat::MessageTarget {
 public:
  std::vector<Event> events;
  std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t lParam) override {
    plat::TNotification n = plat::UnpackNotification(lParam);
    events.push_back({n.low, n.error});
    return 0;
  }
  bool Has(std::uint16_t bit) const {
    for (const Event& e : events) {
      if (e.bits & bit) return true;
    }
    return false;
  }
};

TEST(Emulation, CloseIsNotifiedWhileDataIsStillUnread) {
  LoopbackServer server;
  Collector c;
  plat::WindowHandle w = plat::CreateHiddenWindow("EmulationTest", &c);
  plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
  wsock::WSAAsyncSelect(s, w, plat::kWmUser + 1,
                        plat::kFdRead | plat::kFdWrite | plat::kFdConnect | plat::kFdClose);
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(static_cast<std::uint16_t>(std::stoi(server.Port())));
  a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
  EXPECT_EQ(wsock::connect(s, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a), -1);
  EXPECT_EQ(wsock::WSAGetLastError(),
            plat::WSAEWOULDBLOCK);  // a non-blocking connect always "would block"
  ASSERT_TRUE(RunUntil([&] { return c.Has(plat::kFdConnect) && !server.peers.empty(); }));
  EXPECT_TRUE(RunUntil([&] { return c.Has(plat::kFdWrite); }));  // FD_WRITE follows the connect

  server.peers[0]->SendString("unread");
  server.peers[0]->Abort();
  ASSERT_TRUE(RunUntil([&] { return c.Has(plat::kFdClose); }));
  unsigned long waiting = 0;
  wsock::ioctlsocket(s, plat::kFionRead, &waiting);
  EXPECT_EQ(waiting, 6u);  // the close came although nobody has read yet
  EXPECT_TRUE(PumpUntilIdle());
  int reads = 0;
  for (const Event& e : c.events) reads += (e.bits & plat::kFdRead) != 0;
  EXPECT_EQ(reads, 1);  // and FD_READ is not repeated until recv is called
  wsock::closesocket(s);
  plat::DestroyHiddenWindow(w);
}

TEST(Emulation, SystemErrorsComeAsWindowsSocketsNumbers) {
  // A closed descriptor is "not a socket" (EBADF shares that row).
  EXPECT_EQ(wsock::closesocket(static_cast<plat::TSocket>(1000000)), plat::kSocketError);
  EXPECT_EQ(wsock::WSAGetLastError(), plat::WSAENOTSOCK);
  plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
  ASSERT_NE(s, plat::kInvalidSocket);
  char c;
  EXPECT_EQ(wsock::recv(s, &c, 1, 0), plat::kSocketError);  // ENOTCONN
  EXPECT_EQ(wsock::WSAGetLastError(), plat::WSAENOTCONN);
  // A port that is bound but not listening refuses (ECONNREFUSED).
  plat::TSocket bound = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
  int len = sizeof a;
  ASSERT_EQ(wsock::bind(bound, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a), 0);
  ASSERT_EQ(wsock::getsockname(bound, reinterpret_cast<plat::TSockAddr*>(&a), &len), 0);
  EXPECT_EQ(wsock::connect(s, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a),
            plat::kSocketError);
  EXPECT_EQ(wsock::WSAGetLastError(), plat::WSAECONNREFUSED);
  wsock::closesocket(bound);
  wsock::closesocket(s);
}

TEST(Emulation, TerminationSignalPostsQuit) {
  plat::InstallQuitOnInterrupt();
  TApplication app;
  std::raise(SIGTERM);
  ASSERT_TRUE(RunUntil([&] {
    app.HandleMessage();
    return app.Terminated();
  }));
}

}  // namespace
