// Faults of the socket core found in use, each pinned by a test that fails
// without its mend, with the failure paths they need: a library that fails
// chosen calls, and a peer that sends without pause.
#include <gtest/gtest.h>

#include <chrono>
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

TEST(ReceiveLoop, AQuitIsSeenWhileDataKeepsArriving) {
  FloodServer server;  // sends for twenty seconds at most
  TWSocket client(nullptr);
  bool quitPosted = false, backlogGivenUp = false;
  auto keepBacklogUntil = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    // For a while the handler keeps a backlog of 64 kB (it reads a little
    // only above that), so that bytes are always waiting: TCP's own ups and
    // downs cannot end a loop that reads until the socket is empty. Then it
    // reads whatever comes, so that such a loop ends once the flood does.
    std::int32_t waiting = client.RcvdCount();
    if (waiting >= 65536 && !quitPosted) {
      quitPosted = true;
      plat::PostQuit();  // as Ctrl-C does
    }
    if (waiting < 65536 + 64) {
      if (std::chrono::steady_clock::now() < keepBacklogUntil) return;
      backlogGivenUp = true;
    }
    char buf[64];
    client.Receive(buf, sizeof buf);
  };
  Connect(client, server.Port());
  TApplication loop;  // a loop of the test's own, so that the quit ends only it
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!loop.Terminated() && std::chrono::steady_clock::now() < deadline) loop.HandleMessage();
  ASSERT_TRUE(loop.Terminated());
  // Seen while bytes were waiting all the time and more kept coming.
  EXPECT_FALSE(backlogGivenUp);
  EXPECT_TRUE(server.Flooding());
  client.Abort();
  server.Stop();
}

// A test that fails before its client connects still ends: the flooding
// server's stop ends its accept on Winsock too.
TEST(ReceiveLoop, TheFloodingServerStopsWithoutAClient) {
  FloodServer server;
  server.Stop();
  EXPECT_FALSE(server.Flooding());
}

TEST(ReceiveLoop, AHandlerThatReadsNothingIsCalledAgain) {
  LoopbackServer server;
  TWSocket client(nullptr);
  bool connected = false;
  int calls = 0;
  std::string got;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (++calls % 2 == 1) return;  // every other call leaves the data where it is
    char buf[700];
    int n = client.Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && !server.peers.empty(); }));
  std::string message(5000, 'r');
  server.peers[0]->SendString(message);
  ASSERT_TRUE(RunUntil([&] { return got.size() == message.size(); }));
  EXPECT_EQ(got, message);
}

TEST(ReceiveLoop, WhatWaitsAtTheCloseIsAllDeliveredBeforeTheCloseEvent) {
  LoopbackServer server;
  TWSocket client(nullptr);
  bool connected = false, closed = false;
  std::size_t atClose = 0;
  std::string got;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[100];  // many pieces
    int n = client.Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  };
  client.OnSessionClosed = [&](TObject*, std::uint16_t) {
    closed = true;
    atClose = got.size();
  };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && !server.peers.empty(); }));
  std::string message(20000, '\0');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i % 251);
  // All of it and the end of the connection reach the client before it has
  // read anything.
  server.peers[0]->SendString(message);
  server.peers[0]->Abort();
  ASSERT_TRUE(RunUntil([&] { return closed; }));
  EXPECT_EQ(atClose, message.size());
  EXPECT_TRUE(got == message);
}

}  // namespace
