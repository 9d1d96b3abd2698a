// Faults of the socket core found in use, each pinned by a test that fails
// without its mend, with the failure paths they need: a library that fails
// chosen calls, and a peer that sends without pause.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/failing_socklib.h"
#include "tests/unit/net_test_util.h"

namespace {

void Connect(TWSocket& s, const std::string& port) {
  s.AssignAddr("127.0.0.1");
  s.AssignPort(port);
  s.AssignProto("tcp");
  s.Connect();
}

// Sockets whose library fails the calls a test plans.
class FailingLibrary : public ::testing::Test {
 protected:
  FailingSocketLibrary library;  // installed before, removed after the test's sockets
};

TEST_F(FailingLibrary, ConnectionLostInTheWritePathEndsTheSessionWithoutDataSent) {
  LoopbackServer server;
  TWSocket client(nullptr);
  bool connected = false;
  int dataSent = 0;
  std::vector<int> closed;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  client.OnDataSent = [&](TObject*, std::uint16_t) { ++dataSent; };
  client.OnSessionClosed = [&](TObject*, std::uint16_t e) { closed.push_back(e); };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && dataSent == 1; }));

  // The socket is full: the data waits in the queue for the next FD_WRITE...
  library.FailSend(1, plat::WSAEWOULDBLOCK);
  EXPECT_EQ(client.SendString("lost"), 4);
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(dataSent, 1);
  // ...which finds the connection gone.
  library.FailSend(1, plat::WSAECONNRESET);
  plat::PostWindowMessage(client.Handle(), MsgSocketEvent, client.HSocket(),
                          plat::PackNotification(plat::kFdWrite, 0));
  ASSERT_TRUE(RunUntil([&] { return !closed.empty(); }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(closed, std::vector<int>{plat::WSAECONNRESET});
  EXPECT_EQ(client.State(), wsClosed);
  EXPECT_EQ(dataSent, 1);  // nothing was sent, so nothing says it was
  EXPECT_EQ(library.SendCalls(), 2);
}

// Frees itself through FreeLater and tells when it is gone.
class SelfFreeing : public TWSocket {
 public:
  SelfFreeing(bool* gone) : TWSocket(nullptr), gone_(gone) {}
  ~SelfFreeing() override { *gone_ = true; }

 private:
  bool* gone_;
};

TEST_F(FailingLibrary, AHandlerFreesItsSocketLaterWhenAReceiveFails) {
  LoopbackServer server;
  bool gone = false, connected = false;
  auto* client = new SelfFreeing(&gone);  // FreeLater destroys it
  std::vector<int> errors;
  client->OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  client->OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[16];
    if (client->Receive(buf, sizeof buf) >= 0) return;
    errors.push_back(client->LastError());
    client->FreeLater();
    EXPECT_FALSE(gone);  // not inside the handler
  };
  Connect(*client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && !server.peers.empty(); }));
  library.FailRecv(1, plat::WSAECONNABORTED);
  server.peers[0]->SendString("never read");
  ASSERT_TRUE(RunUntil([&] { return gone; }));
  EXPECT_EQ(errors, std::vector<int>{plat::WSAECONNABORTED});
  EXPECT_TRUE(PumpUntilIdle());  // nothing reaches the freed object
  EXPECT_EQ(errors.size(), 1u);
}

TEST(ErrorNumbers, AFailureReportsItsOwnNumberNotAnEarlierOne) {
  int expected = 0;
  try {
    WSocketResolvePort("no-such-service", "tcp");
  } catch (const ESocketException& e) {
    expected = e.ErrorCode();
  }
  ASSERT_NE(expected, 0);

  TWSocket s(nullptr);
  int reports = 0;
  s.OnError = [&](TObject*) { ++reports; };
  s.Send("x", 1);  // not connected
  EXPECT_EQ(s.LastError(), plat::WSAENOTCONN);
  s.Connect();  // no port: a misuse
  EXPECT_EQ(s.LastError(), plat::WSAEINVAL);
  s.Send("x", 1);
  s.AssignAddr("127.0.0.1");
  s.AssignPort("no-such-service");
  s.Connect();  // the port does not resolve
  EXPECT_EQ(reports, 4);
  EXPECT_EQ(s.LastError(), expected);

  s.OnError = nullptr;
  EXPECT_THROW(s.Send("x", 1), ESocketException);
  try {
    s.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.ErrorCode(), expected);
    EXPECT_EQ(s.LastError(), expected);
  }
}

}  // namespace
