// Both address families as a program sees them: IPv6 texts, a server on
// ::1 and on ::, datagrams, and connecting to a name with several
// addresses (the race of RFC 8305) against the real network stack. Names
// come from a hosts file of the test's own (names_env.py).
#include <chrono>
#include <cstdlib>

#include "layer_test_util.h"
#include "net_test_util.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

#define NEEDS_NAMES() \
  if (Env("KESTRUN_TEST_NAMES") != "1") GTEST_SKIP() << "no hosts file of the test's own"

std::string Text(const std::string& literal) {
  return WSocketAddressText(WSocketResolveHostList(literal, sfAny).front());
}

int ResolveError(const std::string& host, TSocketFamily family) {
  try {
    WSocketResolveHostList(host, family);
  } catch (const ESocketException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A client that records what it is told.
struct Client {
  TWSocket s{nullptr};
  std::vector<std::string> events;
  std::string received;
  std::chrono::steady_clock::time_point started, connectedAt;
  Client() {
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      connectedAt = std::chrono::steady_clock::now();
      events.push_back("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      events.push_back("closed " + std::to_string(e));
    };
    s.OnDataAvailable = [this](TObject*, std::uint16_t) { received += s.ReceiveString(); };
  }
  void Connect(const std::string& addr, const std::string& port) {
    s.AssignAddr(addr);
    s.AssignPort(port);
    started = std::chrono::steady_clock::now();
    s.Connect();
  }
  long Elapsed() const {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(connectedAt - started).count());
  }
};

// A listener of the component on `addr` that echoes what its peers send.
struct EchoServer {
  TWSocket listener{nullptr};
  std::vector<std::unique_ptr<TWSocket>> peers;
  std::vector<std::string> peerAddrs;
  explicit EchoServer(const std::string& addr, const std::string& port = "0") {
    listener.AssignAddr(addr);
    listener.AssignPort(port);
    listener.OnSessionAvailable = [this](TObject*, std::uint16_t) {
      auto peer = std::make_unique<TWSocket>(nullptr);
      peer->Dup(listener.Accept());
      TWSocket* p = peer.get();
      p->OnDataAvailable = [p](TObject*, std::uint16_t) { p->SendString(p->ReceiveString()); };
      peerAddrs.push_back(p->PeerAddr());
      peers.push_back(std::move(peer));
    };
    listener.Listen();
  }
  std::string Port() { return listener.ReadBoundPort(); }
};

// Paused while its race is on, a socket hears of the attempt that won once,
// on Resume: one that took over when the first was refused, or one started
// beside a first that never answers.
TEST(HappyEyeballs, APausedSocketHearsOfTheWinnerOnceOnResume) {
  NEEDS_NAMES();
  const std::string silent = Env("KESTRUN_TEST_SILENT_PORT");
  EchoServer behindSilent("127.0.0.1", silent);
  EchoServer behindRefused("127.0.0.1");  // nothing on ::1 at its port
  const struct {
    const char* what;
    std::string port;
    unsigned delay;
  } cases[] = {
      {"the first never answers", silent, 50},
      {"the first is refused", behindRefused.Port(), 600000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Client client;
    client.s.SetConnectAttemptDelay(c.delay);
    client.Connect("dual.kestrun.test", c.port);
    client.s.Pause();
    ASSERT_TRUE(PumpUntilIdle(400));  // the race is decided meanwhile
    EXPECT_TRUE(client.events.empty());
    client.s.Resume();
    ASSERT_TRUE(RunUntil([&] { return !client.events.empty(); }));
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(client.events, std::vector<std::string>{"connected 0"});
    EXPECT_EQ(client.s.PeerAddr(), "127.0.0.1");
    client.s.SendString("after the race\r\n");
    ASSERT_TRUE(RunUntil([&] { return client.received == "after the race\r\n"; }));
  }
}

// A proxy named with both families and an IPv4 LocalAddr: the proxy is
// reached over IPv4, as a direct connection would be.
TEST(SocksLocalAddr, AProxyNameOfBothFamiliesIsReachedInLocalAddrsFamily) {
  NEEDS_NAMES();
  ScriptedProxy proxy;  // on 127.0.0.1; ::1 at its port refuses
  TWSocket c(nullptr);
  int errors = 0;
  c.OnError = [&](TObject*) { ++errors; };
  c.SetSocksServer("dual.kestrun.test");
  c.SetSocksPort(proxy.Port());
  c.SetLocalAddr("127.0.0.1");
  c.AssignAddr("news.example");
  c.AssignPort("119");
  c.Connect();
  EXPECT_EQ(errors, 0) << c.LastError();
  ASSERT_TRUE(proxy.Expect(3));
  EXPECT_EQ(proxy.Take(3), Bin({5, 1, 0}));
  EXPECT_EQ(c.PeerAddr(), "127.0.0.1");
}

}  // namespace

TEST(AddressTexts, IPv6InTheShortFormAndIPv4AsItWas) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"0:0:0:0:0:0:0:1", "::1"},
      {"::", "::"},
      {"1::", "1::"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run goes
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs
      {"2001:0db8::0001", "2001:db8::1"},                // leading zeros go
      {"::ffff:192.0.2.1", "192.0.2.1"},                 // an IPv4 peer of a dual-stack socket
      {"127.0.0.075", "127.0.0.61"},                     // the resolver's octal, as before
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.in), c.out) << c.in;
}

TEST(AddressTexts, WrongFormsAndFamiliesAreRefusedWithTheirNumbers) {
  EXPECT_EQ(ResolveError("zz::1", sfAny), plat::WSAEINVAL);
  EXPECT_EQ(ResolveError("1::2::3", sfAny), plat::WSAEINVAL);
  EXPECT_EQ(ResolveError("::1", sfIPv4), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(ResolveError("127.0.0.1", sfIPv6), plat::WSAEAFNOSUPPORT);
  EXPECT_EQ(ResolveError("::1", sfIPv6), 0);
}

TEST(AddressTexts, AttemptsAlternateBetweenTheFamilies) {
  TSocketAddressList list;
  for (const char* a : {"::1", "::2", "::3", "10.0.0.1", "10.0.0.2"})
    list.push_back(WSocketResolveHostList(a, sfAny).front());
  std::vector<std::string> order;
  for (const TSocketAddress& a : WSocketInterleaveFamilies(list))
    order.push_back(WSocketAddressText(a));
  EXPECT_EQ(order, (std::vector<std::string>{"::1", "10.0.0.1", "::2", "10.0.0.2", "::3"}));
}

TEST(Ipv6Server, AcceptsOnLoopbackAndBothSidesNameEachOther) {
  EchoServer server("::1");
  EXPECT_EQ(server.listener.ReadBoundAddr(), "::1");
  Client c;
  c.Connect("::1", server.Port());
  ASSERT_TRUE(RunUntil([&] { return !c.events.empty(); }));
  ASSERT_EQ(c.events[0], "connected 0");
  c.s.SendString("over six\r\n");
  ASSERT_TRUE(RunUntil([&] { return c.received == "over six\r\n"; }));
  EXPECT_EQ(c.s.PeerAddr(), "::1");
  EXPECT_EQ(c.s.PeerPort(), server.Port());
  EXPECT_EQ(c.s.ReadBoundAddr(), "::1");
  EXPECT_EQ(server.peerAddrs, std::vector<std::string>{"::1"});
}

TEST(Ipv6Server, OneOnTheUnspecifiedAddressSaysItTakesIPv4PeersAndDoes) {
  EchoServer server("::");
  // Both systems allow it; what matters is that it says so truly.
  ASSERT_TRUE(server.listener.DualStack());
  Client c4, c6;
  c4.Connect("127.0.0.1", server.Port());
  c6.Connect("::1", server.Port());
  ASSERT_TRUE(RunUntil([&] { return server.peerAddrs.size() == 2; }));
  std::sort(server.peerAddrs.begin(), server.peerAddrs.end());
  EXPECT_EQ(server.peerAddrs, (std::vector<std::string>{"127.0.0.1", "::1"}));
  EchoServer v4("127.0.0.1");
  EXPECT_FALSE(v4.listener.DualStack());
  // LocalAddr is a connection's, no limit on where a server listens.
  TWSocket other(nullptr);
  other.SetLocalAddr("::1");
  other.AssignAddr("127.0.0.1");
  other.AssignPort("0");
  other.Listen();
  EXPECT_EQ(other.State(), wsListening);
}

TEST(Ipv6Server, DatagramsGoBothWaysWithTheSendersAddress) {
  TWSocket receiver(nullptr), sender(nullptr);
  receiver.AssignProto("udp");
  receiver.AssignAddr("::1");
  receiver.AssignPort("0");
  receiver.Listen();
  TSocketAddress from;
  std::string got, reply;
  receiver.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[64];
    int n = receiver.ReceiveFrom(buf, sizeof buf, from);
    if (n > 0) got.assign(buf, n);
  };
  sender.AssignProto("udp");
  sender.AssignAddr("::1");
  sender.AssignPort(receiver.ReadBoundPort());
  sender.OnDataAvailable = [&](TObject*, std::uint16_t) { reply += sender.ReceiveString(); };
  sender.Connect();
  sender.SendString("ping");
  ASSERT_TRUE(RunUntil([&] { return !got.empty(); }));
  EXPECT_EQ(got, "ping");
  EXPECT_EQ(WSocketAddressText(from), "::1");
  EXPECT_EQ(std::to_string(from.Port()), sender.ReadBoundPort());
  ASSERT_EQ(receiver.SendTo(from, "pong", 4), 4);
  ASSERT_TRUE(RunUntil([&] { return !reply.empty(); }));
  EXPECT_EQ(reply, "pong");
}

TEST(Ipv6Lookup, ANameGivesBothFamiliesAndAnAddressItsShortForm) {
  NEEDS_NAMES();
  TWSocket s(nullptr);
  int done = -1;
  s.OnDnsLookupDone = [&](TObject*, std::uint16_t e) { done = e; };
  s.DnsLookup("dual.kestrun.test");
  ASSERT_TRUE(RunUntil([&] { return done >= 0; }));
  EXPECT_EQ(done, 0);
  ASSERT_EQ(s.DnsResultList().Count(), 2);
  EXPECT_EQ(s.DnsResultList()[0], "::1");  // the system's preference
  EXPECT_EQ(s.DnsResultList()[1], "127.0.0.1");
  done = -1;
  s.SetSocketFamily(sfIPv4);
  s.DnsLookup("dual.kestrun.test");
  ASSERT_TRUE(RunUntil([&] { return done >= 0; }));
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_EQ(s.DnsResultList().Count(), 1);
  s.SetSocketFamily(sfAny);
  s.DnsLookup("0:0::1");  // at once, no lookup
  EXPECT_EQ(s.DnsResult(), "::1");
  done = -1;
  s.ReverseDnsLookup("::1");  // the hosts file's first name for it
  ASSERT_TRUE(RunUntil([&] { return done >= 0; }));
  EXPECT_EQ(done, 0);
  EXPECT_EQ(s.DnsResult(), "dual.kestrun.test");
}

// The race. The name dual.kestrun.test is ::1 first, then 127.0.0.1.
TEST(HappyEyeballs, AnIPv6AddressThatNeverAnswersCostsAQuarterSecondNotTheTimeout) {
  NEEDS_NAMES();
  const std::string silent = Env("KESTRUN_TEST_SILENT_PORT");
  ASSERT_FALSE(silent.empty());
  EchoServer v4("127.0.0.1", silent);
  Client c;
  c.Connect("dual.kestrun.test", silent);
  ASSERT_TRUE(RunUntil([&] { return !c.events.empty(); }, 20000));
  EXPECT_EQ(c.events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(c.s.PeerAddr(), "127.0.0.1");
  // The system's own connect timeout is minutes: anything near it means no
  // second attempt was started beside the first.
  EXPECT_LT(c.Elapsed(), 5000);
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(v4.peers.size(), 1u);
  c.s.SendString("after the race\r\n");
  ASSERT_TRUE(RunUntil([&] { return c.received == "after the race\r\n"; }));
}

TEST(HappyEyeballs, ARefusedAddressMovesOnAtOnce) {
  NEEDS_NAMES();
  EchoServer v4("127.0.0.1");  // nothing on ::1 at that port: refused
  Client c;
  // Only a failure can start the second attempt within the test's wait.
  c.s.SetConnectAttemptDelay(600000);
  c.Connect("dual.kestrun.test", v4.Port());
  ASSERT_TRUE(RunUntil([&] { return !c.events.empty(); }));
  EXPECT_EQ(c.events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(c.s.PeerAddr(), "127.0.0.1");
}

TEST(HappyEyeballs, EveryAddressFailingReportsTheLastErrorOnce) {
  NEEDS_NAMES();
  ClosedPort closed;  // bound on 127.0.0.1, not listening; ::1 has nothing
  Client c;
  c.Connect("dual.kestrun.test", closed.Port());
  ASSERT_TRUE(RunUntil([&] { return c.events.size() >= 2; }));
  EXPECT_TRUE(PumpUntilIdle(300));
  EXPECT_EQ(c.events, (std::vector<std::string>{"connected 10061", "closed 0"}));
  EXPECT_EQ(c.s.State(), wsClosed);
}

TEST(HappyEyeballs, TheFamilySettingAndAnIPv6OnlyName) {
  NEEDS_NAMES();
  const std::string silent = Env("KESTRUN_TEST_SILENT_PORT");
  EchoServer v4("127.0.0.1", silent);
  Client c;
  c.s.SetConnectAttemptDelay(600000);
  c.s.SetSocketFamily(sfIPv4);  // the silent ::1 is never tried
  c.Connect("dual.kestrun.test", silent);
  ASSERT_TRUE(RunUntil([&] { return !c.events.empty(); }));
  EXPECT_EQ(c.events, std::vector<std::string>{"connected 0"});

  EchoServer v6("::1");
  Client only6;
  only6.Connect("v6.kestrun.test", v6.Port());
  ASSERT_TRUE(RunUntil([&] { return !only6.events.empty(); }));
  EXPECT_EQ(only6.events, std::vector<std::string>{"connected 0"});
  EXPECT_EQ(only6.s.PeerAddr(), "::1");
}
