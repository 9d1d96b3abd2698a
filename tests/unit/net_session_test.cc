// Sessions over loopback with the real event loop: the event order and
// states that the layers above rely on.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/unit/net_test_util.h"

namespace {

const char* Name(TSocketState s) {
  static const char* names[] = {"invalid",   "opened",    "bound",     "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

// Records events of a client socket as short texts, in order.
struct Recorder {
  std::vector<std::string> log;
  void Attach(TWSocket& s) {
    s.OnChangeState = [this](TObject*, TSocketState, TSocketState n) {
      log.push_back(std::string("state ") + Name(n));
    };
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      log.push_back("connected " + IntToStr(e));
    };
    s.OnSessionClosed = [this, &s](TObject*, std::uint16_t e) {
      log.push_back("closed " + IntToStr(e) + " in " + Name(s.State()));
    };
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : log) n += l.rfind(prefix, 0) == 0;
    return n;
  }
};

void Connect(TWSocket& s, const std::string& port) {
  s.AssignAddr("127.0.0.1");
  s.AssignPort(port);
  s.AssignProto("tcp");
  s.Connect();
}

TEST(Session, ConnectReportsOnceLaterAndPeerCloseFiresBeforeOwnClose) {
  LoopbackServer server;
  TWSocket client(nullptr);
  Recorder rec;
  rec.Attach(client);
  Connect(client, server.Port());
  // The outcome never arrives inside Connect, even on loopback.
  EXPECT_EQ(rec.log, (std::vector<std::string>{"state opened", "state connecting"}));
  ASSERT_TRUE(RunUntil([&] { return rec.Count("connected") == 1 && !server.peers.empty(); }));
  EXPECT_EQ(client.State(), wsConnected);
  EXPECT_EQ(client.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(client.PeerPort(), server.Port());

  server.peers[0]->Abort();  // an orderly close from the peer
  ASSERT_TRUE(RunUntil([&] { return rec.Count("closed") == 1; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(rec.log,
            (std::vector<std::string>{"state opened", "state connecting", "state connected",
                                      "connected 0", "closed 0 in connected", "state closed"}));
  // After a session the port has to be assigned again.
  EXPECT_EQ(client.Port(), server.Port());
  EXPECT_THROW(client.Connect(), ESocketException);
}

TEST(Session, RefusedPortGivesConnectErrorThenClose) {
  ClosedPort closed;
  TWSocket client(nullptr);
  Recorder rec;
  rec.Attach(client);
  Connect(client, closed.Port());
  ASSERT_TRUE(RunUntil([&] { return rec.Count("closed") == 1; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(rec.log,
            (std::vector<std::string>{"state opened", "state connecting", "state connected",
                                      "connected 10061", "state closed", "closed 0 in closed"}));
}

TEST(Session, LocalCloseFiresAfterStateIsClosedAndDestructionFiresNothing) {
  LoopbackServer server;
  auto client = std::make_unique<TWSocket>(nullptr);
  Recorder rec;
  rec.Attach(*client);
  Connect(*client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return rec.Count("connected") == 1; }));
  client->Close();
  EXPECT_EQ(rec.log.back(), "closed 0 in closed");
  client->Close();  // closing a closed socket does nothing
  EXPECT_EQ(rec.Count("closed"), 1);

  TWSocket* raw = nullptr;
  {
    auto second = std::make_unique<TWSocket>(nullptr);
    raw = second.get();
    Recorder rec2;
    rec2.Attach(*second);
    Connect(*second, server.Port());
    ASSERT_TRUE(RunUntil([&] { return rec2.Count("connected") == 1; }));
    second->OnChangeState = nullptr;
    second.reset();
    EXPECT_EQ(rec2.Count("closed"), 0);
  }
  (void)raw;
  EXPECT_TRUE(PumpUntilIdle());  // late notifications for the destroyed socket go nowhere
}

TEST(Session, DataArrivesUntilReadAndDataSentFollowsSend) {
  LoopbackServer server;
  std::string received;
  int serverDataSent = 0;
  server.OnAccept = [&](TWSocket& peer) {
    peer.OnDataAvailable = [&received, &peer](TObject*, std::uint16_t) {
      char buf[100];  // small reads: the delivery loop must call again
      int n = peer.Receive(buf, sizeof buf);
      if (n > 0) received.append(buf, static_cast<std::size_t>(n));
    };
    peer.OnDataSent = [&](TObject*, std::uint16_t) { ++serverDataSent; };
  };
  TWSocket client(nullptr);
  bool insideSend = false, sentInside = false;
  int dataSent = 0, sendData = 0;
  client.OnDataSent = [&](TObject*, std::uint16_t e) {
    EXPECT_EQ(e, 0);
    sentInside = sentInside || insideSend;
    ++dataSent;
  };
  client.OnSendData = [&](TObject*, std::int32_t n) { sendData += n; };
  bool connected = false;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected; }));
  ASSERT_TRUE(RunUntil([&] { return dataSent == 1; }));  // the write notification after connecting
  std::string message(5000, '\0');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
  insideSend = true;
  EXPECT_EQ(client.Send(message.data(), static_cast<int>(message.size())), 5000);
  insideSend = false;
  EXPECT_EQ(sendData, 5000);  // handed to the network inside Send...
  EXPECT_EQ(dataSent, 1);     // ...but reported only later
  ASSERT_TRUE(RunUntil([&] { return dataSent == 2 && received.size() == message.size(); }));
  EXPECT_FALSE(sentInside);
  EXPECT_EQ(received, message);
  EXPECT_EQ(client.Send(nullptr, 0), 0);  // nothing to send, still a completion
  ASSERT_TRUE(RunUntil([&] { return dataSent == 3; }));
}

TEST(Session, PartialSendFinishesOnALaterWriteNotification) {
  LoopbackServer server;
  std::string received;
  TWSocket* peerPtr = nullptr;
  server.OnAccept = [&](TWSocket& peer) {
    peerPtr = &peer;
    peer.OnDataAvailable = [&received, &peer](TObject*, std::uint16_t) {
      char buf[65536];
      int n = peer.Receive(buf, sizeof buf);
      if (n > 0) received.append(buf, static_cast<std::size_t>(n));
    };
  };
  TWSocket client(nullptr);
  int dataSent = 0;
  bool connected = false;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  client.OnDataSent = [&](TObject*, std::uint16_t) { ++dataSent; };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && peerPtr != nullptr && dataSent == 1; }));
  peerPtr->Pause();  // the peer stops reading
  int small = 4096;
  wsock::setsockopt(client.HSocket(), plat::kSolSocket, plat::kSoSndBuf,
                    reinterpret_cast<const char*>(&small), sizeof small);
  std::string big(4 * 1024 * 1024, '\0');
  std::iota(big.begin(), big.end(), 0);
  EXPECT_EQ(client.Send(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(dataSent, 1);  // the queue cannot drain while nobody reads
  peerPtr->Resume();
  ASSERT_TRUE(RunUntil([&] { return dataSent == 2; }, 30000));
  ASSERT_TRUE(RunUntil([&] { return received.size() == big.size(); }, 30000));
  EXPECT_TRUE(received == big);
}

TEST(Session, WithoutAHandlerIncomingDataIsDiscarded) {
  LoopbackServer server;
  int peerSent = 0;
  server.OnAccept = [&](TWSocket& peer) {
    peer.OnDataSent = [&](TObject*, std::uint16_t) { ++peerSent; };
  };
  TWSocket client(nullptr);
  bool connected = false;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && peerSent == 1; }));
  std::string chunk(10000, 'z');
  server.peers[0]->Send(chunk.data(), static_cast<int>(chunk.size()));
  ASSERT_TRUE(RunUntil([&] { return peerSent == 2; }));  // all of it is on its way
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(client.RcvdCount(), 0);
  bool closed = false;
  client.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
  server.peers[0]->Abort();
  EXPECT_TRUE(RunUntil([&] { return closed; }));
}

TEST(Session, ClosingOnTheFinalZeroReadReportsTheCloseOnce) {
  LoopbackServer server;
  TWSocket client(nullptr);
  int closes = 0;
  std::string got;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[64];
    int n = client.Receive(buf, sizeof buf);
    if (n == 0) client.Close();  // what a line protocol client does on the peer's close
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  };
  client.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  bool connected = false;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected && !server.peers.empty(); }));
  server.peers[0]->SendString("last words");
  server.peers[0]->Abort();
  ASSERT_TRUE(RunUntil([&] { return closes > 0; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(got, "last words");
  EXPECT_EQ(closes, 1);
}

TEST(Session, DatagramConnectReportsAtOnce) {
  TWSocket receiver(nullptr);
  receiver.AssignAddr("127.0.0.1");
  receiver.AssignPort("0");
  receiver.AssignProto("udp");
  std::string got;
  receiver.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[100];
    plat::TSockAddrIn from{};
    int len = sizeof from;
    int n = receiver.ReceiveFrom(buf, sizeof buf, from, len);
    if (n > 0) got.assign(buf, static_cast<std::size_t>(n));
  };
  receiver.Listen();
  EXPECT_EQ(receiver.State(), wsConnected);
  TWSocket sender(nullptr);
  bool connected = false;
  sender.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected = e == 0; };
  sender.AssignAddr("127.0.0.1");
  sender.AssignPort(receiver.ReadBoundPort());
  sender.AssignProto("udp");
  sender.Connect();
  EXPECT_TRUE(connected);  // before Connect returned
  EXPECT_NE(sender.LocalPort(), "0");
  sender.SendString("datagram");
  EXPECT_TRUE(RunUntil([&] { return got == "datagram"; }));
}

TEST(Lookup, DottedAddressReportsBeforeReturning) {
  TWSocket s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("10.0.0.1");
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "10.0.0.1");
  EXPECT_EQ(s.DnsResultList().Count(), 0);
  EXPECT_THROW(s.DnsLookup(""), ESocketException);
  s.OnError = [](TObject*) {};
  s.DnsLookup("");
  EXPECT_EQ(done, (std::vector<int>{0, 10022}));
}

TEST(Lookup, NameLookupCompletesLaterAndOnlyTheLastReports) {
  TWSocket s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done.push_back(e); };
  s.DnsLookup("no-such-host.invalid");
  s.DnsLookup("localhost");  // replaces the first silently
  EXPECT_TRUE(done.empty());
  // A done message with a handle that is not the pending one is ignored.
  plat::PostWindowMessage(s.Handle(), MsgAddrLookupDone, 0x7777, 0);
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(done, std::vector<int>{0});
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  ASSERT_GE(s.DnsResultList().Count(), 1);
  EXPECT_EQ(s.DnsResultList()[0], "127.0.0.1");

  s.DnsLookup("no-such-host.invalid");
  ASSERT_TRUE(RunUntil([&] { return done.size() == 2; }));
  EXPECT_GE(done[1], 11001);
  EXPECT_LE(done[1], 11004);
  EXPECT_EQ(s.DnsResult(), "");
}

TEST(Lookup, CancelReportsInterruptedAndDestructionReportsNothing) {
  std::vector<int> done;
  {
    TWSocket s(nullptr);
    s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(done, std::vector<int>{plat::WSAEINTR});
    s.DnsLookup("localhost");
  }  // destroyed with a lookup pending
  // The lookup's helper thread knows nothing of the socket's end: a late
  // report would come within the time a lookup of localhost takes.
  EXPECT_TRUE(PumpUntilIdle(200));
  EXPECT_EQ(done, std::vector<int>{plat::WSAEINTR});
}

TEST(Lookup, ReverseLookupOfLoopback) {
  TWSocket s(nullptr);
  int error = -1;
  s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { error = e; };
  s.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(RunUntil([&] { return error >= 0; }));
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(s.DnsResult().empty());
  EXPECT_EQ(s.DnsResultList().Count(), 1);
}

TEST(Errors, HandlerExceptionAbortsUnlessTheHandlerKeepsTheSocket) {
  LoopbackServer server;
  TWSocket client(nullptr);
  int connects = 0;
  std::string seen;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) {
    ++connects;
    throw Exception("from handler");
  };
  client.OnBgException = [&](TObject*, const std::exception& e, bool& canClose) {
    seen = e.what();
    canClose = false;
  };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connects == 1; }));
  EXPECT_EQ(seen, "from handler");
  EXPECT_EQ(client.State(), wsConnected);
  client.OnBgException = nullptr;
  plat::PostWindowMessage(client.Handle(), MsgTestException, 0, 0);
  ASSERT_TRUE(RunUntil([&] { return client.State() == wsClosed; }));
}

// Received data is an event like the others: its handler's exception goes to
// OnBgException and then aborts, rather than ending the delivery unseen with
// the socket left connected.
TEST(Errors, DataHandlerExceptionGoesToTheBackgroundHandlerAndAborts) {
  LoopbackServer server;
  server.OnReady = [](TWSocket& peer) { peer.SendString("data"); };
  TWSocket client(nullptr);
  int calls = 0;
  std::string seen;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    ++calls;
    throw Exception("from data handler");
  };
  client.OnBgException = [&](TObject*, const std::exception& e, bool&) { seen = e.what(); };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return client.State() == wsClosed; }));
  EXPECT_EQ(seen, "from data handler");
  EXPECT_EQ(calls, 1);
}

// A connection that has carried nearly 2 GiB already.
class LongRunningSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  void HaveReceived(std::int64_t n) { FReadCount = n; }
};

TEST(Session, TheReceivedCountHoldsAtItsLimitInsteadOfOverflowing) {
  LoopbackServer server;
  server.OnReady = [](TWSocket& peer) { peer.SendString("12345"); };
  LongRunningSocket client(nullptr);
  std::string got;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) { got += client.ReceiveString(); };
  Connect(client, server.Port());
  client.HaveReceived(INT32_MAX - 2);
  ASSERT_TRUE(RunUntil([&] { return got.size() == 5; }));
  EXPECT_EQ(client.ReadCount(), INT32_MAX);
}
// A notification still queued when its socket is closed is dropped, on both
// systems: the next socket of the same object usually gets the same handle
// number and must not take the old one's news for its own.
TEST(Session, AClosedSocketsQueuedNotificationDoesNotReachTheNextConnection) {
  LoopbackServer server;
  TWSocket client(nullptr);
  std::vector<int> connected;
  client.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected.push_back(e); };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected.size() == 1; }));
  plat::PostWindowMessage(client.Handle(), MsgSocketEvent, client.HSocket(),
                          plat::PackNotification(plat::kFdConnect, plat::WSAECONNREFUSED));
  client.Close();
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected.size() == 2; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(connected, (std::vector<int>{0, 0}));
  EXPECT_EQ(client.State(), wsConnected);
}

// A handler that closes the socket and connects it again keeps the new
// connection, though the system may give it the old handle number: nothing
// done after the handler returns, nor a CloseLater asked for earlier,
// reaches it, and its own close is reported in its turn.
TEST(Session, AConnectionMadeAgainByAHandlerIsLeftAlone) {
  enum class Way { kClosedHere, kPeerClosed, kRefused, kCloseLaterQueued };
  for (Way way : {Way::kClosedHere, Way::kPeerClosed, Way::kRefused, Way::kCloseLaterQueued}) {
    SCOPED_TRACE(static_cast<int>(way));
    LoopbackServer server;
    ClosedPort refused;
    TWSocket client(nullptr);
    int connected = 0, closed = 0;
    auto again = [&] {
      client.Close();
      Connect(client, server.Port());
    };
    client.OnSessionConnected = [&](TObject*, std::uint16_t e) {
      if (e != 0) return again();
      if (++connected == 1 && way == Way::kClosedHere) client.Close();
    };
    client.OnSessionClosed = [&](TObject*, std::uint16_t) {
      ++closed;
      if ((way == Way::kClosedHere || way == Way::kPeerClosed) && connected == 1) again();
    };
    Connect(client, way == Way::kRefused ? refused.Port() : server.Port());
    if (way == Way::kPeerClosed || way == Way::kCloseLaterQueued) {
      ASSERT_TRUE(RunUntil([&] { return connected == 1 && server.peers.size() == 1; }));
      if (way == Way::kPeerClosed) server.peers.back()->Close();
      if (way == Way::kCloseLaterQueued) {
        client.CloseLater();
        again();
      }
    }
    const int want = way == Way::kRefused ? 1 : 2;
    ASSERT_TRUE(RunUntil([&] {
      return connected == want && server.peers.size() == static_cast<std::size_t>(want);
    }));
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(client.State(), wsConnected);
    const int before = closed;
    server.peers.back()->Close();
    EXPECT_TRUE(RunUntil([&] { return closed == before + 1; }));
  }
}

// A handler pauses the socket while the peer's close is already on its
// way, or while the close's own delivery of the last data runs: after
// Resume the rest of the data and the close are reported, for a peer that
// only stops sending as for one that resets the connection (whose unread
// data the system drops).
TEST(Session, ThePeersCloseWhilePausedIsReportedAfterResume) {
  const struct {
    int pauseAt;
    bool reset;
  } cases[] = {{1, false}, {1, true}, {2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pauseAt) + (c.reset ? " reset" : " end of data"));
    LoopbackServer server;
    TWSocket client(nullptr);
    int events = 0, closed = 0;
    std::string got;
    client.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char piece[4];
      int n = client.Receive(piece, sizeof piece);
      if (n > 0) got.append(piece, static_cast<std::size_t>(n));
      if (++events == c.pauseAt) client.Pause();
    };
    client.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closed; };
    Connect(client, server.Port());
    ASSERT_TRUE(RunUntil([&] { return client.State() == wsConnected && !server.peers.empty(); }));
    server.peers.back()->SendString("0123456789abcdefghij");
    if (c.reset) {
      server.peers.back()->Close();
    } else {
      server.peers.back()->Shutdown(1);
    }
    ASSERT_TRUE(RunUntil([&] { return events == c.pauseAt; }));
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(closed, 0);
    client.Resume();
    EXPECT_TRUE(RunUntil([&] { return closed == 1; }));
    if (!c.reset) {
      EXPECT_EQ(got, "0123456789abcdefghij");
    }
  }
}

// Bytes the system still holds for a peer that is reading them are the
// connection at work; bytes that sit there unmoved are not.
TEST(Session, BytesTheSystemHoldsCountAsTakenOnlyWhileThePeerReads) {
  LoopbackServer server;
  TWSocket* peer = nullptr;
  server.OnReady = [&](TWSocket& p) {
    p.Pause();  // reads only when the test says so
    int small = 4096;
    wsock::setsockopt(p.HSocket(), plat::kSolSocket, plat::kSoRcvBuf,
                      reinterpret_cast<const char*>(&small), sizeof small);
    peer = &p;
  };
  TWSocket client(nullptr);
  int connected = -1;
  client.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected = e; };
  Connect(client, server.Port());
  ASSERT_TRUE(RunUntil([&] { return connected == 0 && peer != nullptr; }));
  if (plat::UnsentBytes(client.HSocket()) < 0) GTEST_SKIP() << "the system cannot tell";
  std::string data(100 * 1024, 'x');  // more than the peer's window, less than our buffer
  client.SendString(data);
  EXPECT_TRUE(PumpUntilIdle());
  ASSERT_GT(plat::UnsentBytes(client.HSocket()), 0);
  client.PeerTakingData();                // the send itself
  EXPECT_FALSE(client.PeerTakingData());  // held, but nothing moves
  char buf[16384];
  int taken = 0;
  ASSERT_TRUE(RunUntil([&] {
    int n = peer->Receive(buf, sizeof buf);
    if (n > 0) taken += n;
    return client.PeerTakingData();
  }));
  EXPECT_GT(taken, 0);
}

}  // namespace
