// The SOCKS layer against a scripted proxy: the exact bytes sent, a refusal
// on each path, replies cut into single bytes, surplus, closes at each step.
#include <gtest/gtest.h>

#include "tests/unit/layer_test_util.h"

namespace {

using V = std::vector<std::string>;

void Start(TWSocket& c, const ScriptedProxy& proxy, const std::string& level,
           const std::string& addr = "news.example") {
  c.AssignAddr(addr);
  c.AssignPort("119");
  c.SetSocksServer("127.0.0.1");
  c.SetSocksPort(proxy.Port());
  c.SetSocksLevel(level);
  c.Connect();
}

const std::string kGrant5 = Bin({5, 0, 0, 1, 10, 0, 0, 9, 0x04, 0x38});  // 10.0.0.9:1080
const std::string kGrant4 = Bin({0, 90, 0, 0, 0, 0, 0, 0});

// Runs a SOCKS 5 session without authentication up to the connect request.
void ToConnectRequest(TWSocket& c, ScriptedProxy& p) {
  Start(c, p, "5");
  ASSERT_TRUE(p.Expect(3));
  EXPECT_EQ(p.Take(3), Bin({5, 1, 0}));
  p.Send(Bin({5, 0}));
  ASSERT_TRUE(p.Expect(19));
  EXPECT_EQ(p.Take(19), Bin({5, 1, 0, 3, 12}) + "news.example" + Bin({0, 119}));
}

TEST(Socks5, AnIPv6DestinationGoesAsItsSixteenBytes) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  Start(c, p, "5", "2001:DB8::0:1");
  ASSERT_TRUE(p.Expect(3));
  p.Take(3);
  p.Send(Bin({5, 0}));
  ASSERT_TRUE(p.Expect(22));
  EXPECT_EQ(p.Take(22),
            Bin({5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 119}));
}

TEST(Socks5, WithoutAuthenticationConnectsOnceWithTheBoundAddress) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  ToConnectRequest(c, p);
  EXPECT_EQ(log.Count("connected"), 0);
  p.Send(kGrant5);
  ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(log.log, (V{"socks-connected 0", "connected 0"}));
  EXPECT_EQ(c.SocksBoundAddr(), "10.0.0.9");
  EXPECT_EQ(c.SocksBoundPort(), "1080");
  EXPECT_EQ(c.SocksState(), socksIdle);
  // From here on the connection is the destination's.
  p.Send("200 hello\r\n");
  ASSERT_TRUE(RunUntil([&] { return log.data == "200 hello\r\n"; }));
  c.SendString("QUIT\r\n");
  ASSERT_TRUE(p.Expect(6));
  EXPECT_EQ(c.ReadCount(), 11);  // the negotiation's bytes are not the application's
}

TEST(Socks5, SurplusLargerThanTheHandlerReadsIsDeliveredWithoutNewData) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c, false);
  std::vector<int> counts;
  c.OnDataAvailable = [&](TObject*, std::uint16_t) {
    counts.push_back(c.RcvdCount());
    char buf[5];
    int n = c.Receive(buf, sizeof buf);
    if (n > 0) log.data.append(buf, static_cast<std::size_t>(n));
  };
  ToConnectRequest(c, p);
  std::string greeting = "20 bytes of greeting";
  ASSERT_EQ(greeting.size(), 20u);
  p.Send(kGrant5 + greeting);  // one packet: the reply and what follows it
  ASSERT_TRUE(RunUntil([&] { return log.data.size() == 20; }));
  EXPECT_EQ(log.data, greeting);
  EXPECT_EQ(counts.front(), 20);
  p.Send("newer");
  ASSERT_TRUE(RunUntil([&] { return log.data.size() == 25; }));
  EXPECT_EQ(log.data, greeting + "newer");
  EXPECT_EQ(c.ReadCount(), 25);
}

TEST(Socks5, AHandlerThatReadsNoneOfTheSurplusIsNotCalledForEver) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c, false);
  int calls = 0;
  bool read = false;
  c.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (++calls > 1000) c.Abort();  // a way out for a broken layer
    if (read) log.data += c.ReceiveString();
  };
  ToConnectRequest(c, p);
  p.Send(kGrant5 + "surplus");
  ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_LE(calls, 2);
  // Newer data brings the handler back, and the surplus still comes first.
  read = true;
  p.Send(" newer");
  ASSERT_TRUE(RunUntil([&] { return log.data == "surplus newer"; })) << log.data;
  EXPECT_EQ(c.State(), wsConnected);
}

// Receiving paused before the connection: the negotiation still reads its
// replies, and the bytes behind the grant wait, in lines too, until
// ResumeReceiving.
TEST(Socks5, PausedReceivingLetsTheNegotiationThroughAndHoldsTheSurplus) {
  for (bool lines : {false, true}) {
    SCOPED_TRACE(lines ? "line mode" : "raw");
    ScriptedProxy p;
    TWSocket c(nullptr);
    LayerLog log;
    log.Attach(c, false);
    c.SetLineMode(lines);
    c.OnDataAvailable = [&](TObject*, std::uint16_t) { log.data += c.ReceiveString(); };
    c.PauseReceiving();
    ToConnectRequest(c, p);
    p.Send(kGrant5 + "200 hello\r\n");
    ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
    p.Send("201 more\r\n");
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(log.data, "");
    c.ResumeReceiving();
    ASSERT_TRUE(RunUntil([&] { return log.data == "200 hello\r\n201 more\r\n"; })) << log.data;
  }
}

TEST(Socks5, AuthenticationAcceptedRefusedAndNotNeeded) {
  {
    ScriptedProxy p;
    TWSocket c(nullptr);
    LayerLog log;
    log.Attach(c);
    c.SetSocksAuthentication(socksAuthenticateUsercode);
    c.SetSocksUsercode("jan");
    c.SetSocksPassword("tajne");
    Start(c, p, "5");
    ASSERT_TRUE(p.Expect(3));
    EXPECT_EQ(p.Take(3), Bin({5, 1, 2}));
    p.Send(Bin({5, 2}));
    ASSERT_TRUE(p.Expect(11));
    EXPECT_EQ(p.Take(11), Bin({1, 3}) + "jan" + Bin({5}) + "tajne");
    p.Send(Bin({1, 0}));
    ASSERT_TRUE(p.Expect(19));
    p.Send(kGrant5);
    ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
    EXPECT_EQ(log.log, (V{"socks-connected 0", "auth started", "auth succeeded", "connected 0"}));
  }
  {
    ScriptedProxy p;
    TWSocket c(nullptr);
    LayerLog log;
    log.Attach(c);
    c.SetSocksAuthentication(socksAuthenticateUsercode);
    c.SetSocksUsercode("jan");
    c.SetSocksPassword("zle");
    Start(c, p, "5");
    ASSERT_TRUE(p.Expect(3));
    p.Send(Bin({5, 2}));
    ASSERT_TRUE(p.Expect(12));
    p.Send(Bin({1, 1}));
    ASSERT_TRUE(RunUntil([&] { return log.Count("closed") == 1; }));
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(log.log, (V{"socks-connected 0", "auth started",
                          "socks-error 20015 socks authentication failed", "connected 20015",
                          "closed 20015"}));
    EXPECT_EQ(c.State(), wsClosed);
  }
  {
    ScriptedProxy p;
    TWSocket c(nullptr);
    LayerLog log;
    log.Attach(c);
    c.SetSocksAuthentication(socksAuthenticateUsercode);
    Start(c, p, "5");
    ASSERT_TRUE(p.Expect(3));
    p.Send(Bin({5, 0}));  // offered, but the server wants none
    ASSERT_TRUE(p.Expect(22));
    EXPECT_EQ(p.received.substr(3), Bin({5, 1, 0, 3, 12}) + "news.example" + Bin({0, 119}));
    p.Send(kGrant5);
    ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
    EXPECT_EQ(log.log, (V{"socks-connected 0", "auth not-needed", "connected 0"}));
  }
}

// One failing negotiation: the events the application sees, in order.
V Failure(const std::string& level, const std::function<void(ScriptedProxy&)>& script) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  Start(c, p, level, level == "4" ? "127.0.0.1" : "news.example");
  script(p);
  EXPECT_TRUE(RunUntil([&] { return log.Count("closed") == 1; })) << level;
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(c.State(), wsClosed);
  EXPECT_EQ(log.Count("connected "), 1);
  return log.log;
}

// Which code and text each reply status gives is the SOCKS message tests'
// table; here one refusal on each path shows it reaching the events.
TEST(Socks5, ARefusalReachesOnSessionConnected) {
  V got = Failure("5", [&](ScriptedProxy& p) {
    ASSERT_TRUE(p.Expect(3));
    p.Send(Bin({5, 0}));
    ASSERT_TRUE(p.Expect(22));
    p.Send(Bin({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
  });
  EXPECT_EQ(got, (V{"socks-connected 0", "socks-error 20008 connection refused", "connected 20008",
                    "closed 20008"}));
  EXPECT_EQ(Failure("5",
                    [](ScriptedProxy& p) {
                      ASSERT_TRUE(p.Expect(3));
                      p.Send(Bin({5, 255}));
                    }),
            (V{"socks-connected 0", "socks-error 20003 authentification method not acceptable",
               "connected 20003", "closed 20003"}));
  // Method 2 was not offered: nothing that does not fit is ever sent.
  EXPECT_EQ(Failure("5",
                    [](ScriptedProxy& p) {
                      ASSERT_TRUE(p.Expect(3));
                      p.Send(Bin({5, 2}));
                    })[1],
            "socks-error 20003 authentification method not acceptable");
}

// A handler of the refusal that tries another proxy gets a connection that
// negotiates with it from the start; nothing of the refused one follows.
TEST(Socks5, AnErrorHandlerThatTriesAnotherProxyGetsAFreshNegotiation) {
  ScriptedProxy first, second;
  TWSocket c(nullptr);
  V events;
  c.OnSocksError = [&](TObject*, std::int32_t code, const std::string&) {
    events.push_back("socks-error " + std::to_string(code));
    if (events.size() > 1) return;
    c.Close();
    Start(c, second, "5");
  };
  c.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    events.push_back("connected " + std::to_string(e));
  };
  Start(c, first, "5");
  ASSERT_TRUE(first.Expect(3));
  first.Send(Bin({5, 255}));
  ASSERT_TRUE(second.Expect(3));
  EXPECT_EQ(second.Take(3), Bin({5, 1, 0}));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(events, V{"socks-error 20003"});
  EXPECT_EQ(c.SocksState(), socksNegotiateMethod);
}

TEST(Socks4, ARefusalAndTheRequestBytes) {
  V got = Failure("4", [&](ScriptedProxy& p) {
    ASSERT_TRUE(p.Expect(9));
    EXPECT_EQ(p.received, Bin({4, 1, 0, 119, 127, 0, 0, 1, 0}));
    p.Send(Bin({0, 91, 0, 0, 0, 0, 0, 0}));
  });
  EXPECT_EQ(got, (V{"socks-connected 0", "socks-error 20016 request rejected or failed",
                    "connected 20016", "closed 20016"}));
}

TEST(Socks4, GrantedWithAUserIdAnd4AWithAName) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  c.SetSocksUsercode("jan");
  Start(c, p, "4", "127.0.0.1");
  ASSERT_TRUE(p.Expect(12));
  EXPECT_EQ(p.Take(12), Bin({4, 1, 0, 119, 127, 0, 0, 1}) + "jan" + Bin({0}));
  // The SOCKS 4 reply is read alone; the greeting behind it is data.
  p.Send(kGrant4 + "200 ok\r\n");
  ASSERT_TRUE(RunUntil([&] { return log.data == "200 ok\r\n"; }));
  EXPECT_EQ(log.log, (V{"socks-connected 0", "connected 0"}));

  ScriptedProxy p2;
  TWSocket c2(nullptr);
  LayerLog log2;
  log2.Attach(c2);
  c2.SetSocksUsercode("id");
  Start(c2, p2, "4a");
  EXPECT_EQ(c2.SocksLevel(), "4A");
  ASSERT_TRUE(p2.Expect(24));
  EXPECT_EQ(p2.received,
            Bin({4, 1, 0, 119, 0, 0, 0, 1}) + "id" + Bin({0}) + "news.example" + Bin({0}));
  p2.Send(kGrant4);
  ASSERT_TRUE(RunUntil([&] { return log2.Count("connected") == 1; }));
  EXPECT_EQ(log2.log.back(), "connected 0");
}

TEST(Socks4, UnresolvableDestinationIsAFailedConnection) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  Start(c, p, "4", "no-such-host.invalid");
  ASSERT_TRUE(RunUntil([&] { return log.Count("closed") == 1; }));
  EXPECT_TRUE(PumpUntilIdle());
  ASSERT_EQ(log.log.size(), 4u);
  EXPECT_EQ(log.log[0], "socks-connected 0");
  EXPECT_EQ(log.log[1].rfind("socks-error 20017 ESocketException WSocketResolveHost: Cannot "
                             "convert host address 'no-such-host.invalid'",
                             0),
            0u)
      << log.log[1];
  EXPECT_EQ(log.log[2], "connected 20017");
  EXPECT_EQ(log.log[3], "closed 20017");
  EXPECT_EQ(p.received, "");  // no request went out
}

TEST(SocksReplies, SplitIntoSingleBytesNothingIsJudgedEarly) {
  // Every reply of a SOCKS 5 session with authentication, and a 200-byte
  // bound name, one byte per arrival.
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  c.SetSocksAuthentication(socksAuthenticateUsercode);
  c.SetSocksUsercode("u");
  c.SetSocksPassword("p");
  Start(c, p, "5");
  ASSERT_TRUE(p.Expect(3));
  auto notYet = [&] { EXPECT_EQ(log.Count("connected "), 0); };
  p.SendByteByByte(Bin({5, 2}), notYet);
  ASSERT_TRUE(p.Expect(3 + 5));
  p.SendByteByByte(Bin({1, 0}), notYet);
  ASSERT_TRUE(p.Expect(8 + 19));
  std::string reply = Bin({5, 0, 0, 3, 200}) + std::string(200, 'n') + Bin({0, 80});
  std::string most = reply.substr(0, reply.size() - 1);
  p.SendByteByByte(most, notYet);
  p.SendByteByByte(reply.substr(most.size()));
  ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_EQ(c.SocksBoundAddr(), std::string(200, 'n'));
  EXPECT_EQ(c.SocksBoundPort(), "80");

  ScriptedProxy p4;
  TWSocket c4(nullptr);
  LayerLog log4;
  log4.Attach(c4);
  Start(c4, p4, "4", "127.0.0.1");
  ASSERT_TRUE(p4.Expect(9));
  p4.SendByteByByte(kGrant4.substr(0, 7), [&] { EXPECT_EQ(log4.Count("connected "), 0); });
  p4.Send(kGrant4.substr(7));
  ASSERT_TRUE(RunUntil([&] { return log4.Count("connected") == 1; }));
}

TEST(SocksReplies, TheLongestReplyWithSurplusCompletes) {
  // 255-byte bound name plus surplus in one packet: more than the old
  // 127-byte area could ever hold.
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  ToConnectRequest(c, p);
  std::string surplus(500, 's');
  p.Send(Bin({5, 0, 0, 3, 255}) + std::string(255, 'n') + Bin({1, 0}) + surplus);
  ASSERT_TRUE(RunUntil([&] { return log.data.size() == 500; }));
  EXPECT_EQ(log.data, surplus);
  EXPECT_EQ(c.SocksBoundPort(), "256");
}

TEST(SocksClose, AtEachStepIsOneFailedConnection) {
  const std::string closed = "connection closed during socks negotiation";
  const std::string code = IntToStr(kSocksClosedDuringNegotiation);
  const V expected{"socks-connected 0", "socks-error " + code + " " + closed, "connected " + code,
                   "closed 0"};
  // After the greeting.
  EXPECT_EQ(Failure("5",
                    [](ScriptedProxy& p) {
                      ASSERT_TRUE(p.Expect(3));
                      p.Close();
                    }),
            expected);
  // In the middle of the method reply.
  EXPECT_EQ(Failure("5",
                    [](ScriptedProxy& p) {
                      ASSERT_TRUE(p.Expect(3));
                      p.Send(Bin({5}));
                      p.Close();
                    }),
            expected);
  // After the connect request, and in the middle of its reply.
  for (int cut : {0, 4}) {
    EXPECT_EQ(Failure("5",
                      [&](ScriptedProxy& p) {
                        ASSERT_TRUE(p.Expect(3));
                        p.Send(Bin({5, 0}));
                        ASSERT_TRUE(p.Expect(22));
                        if (cut > 0) p.Send(kGrant5.substr(0, cut));
                        p.Close();
                      }),
              expected);
  }
  // While waiting for the authentication reply.
  {
    ScriptedProxy p;
    TWSocket c(nullptr);
    LayerLog log;
    log.Attach(c);
    c.SetSocksAuthentication(socksAuthenticateUsercode);
    Start(c, p, "5");
    ASSERT_TRUE(p.Expect(3));
    p.Send(Bin({5, 2}));
    ASSERT_TRUE(p.Expect(6));
    p.Close();
    ASSERT_TRUE(RunUntil([&] { return log.Count("closed") == 1; }));
    EXPECT_EQ(log.log, (V{"socks-connected 0", "auth started", "auth failed",
                          "socks-error " + code + " " + closed, "connected " + code, "closed 0"}));
  }
  // SOCKS 4 after the request.
  EXPECT_EQ(Failure("4",
                    [](ScriptedProxy& p) {
                      ASSERT_TRUE(p.Expect(9));
                      p.Close();
                    }),
            expected);
}

TEST(SocksConnect, RefusedProxyIsReportedTwice) {
  ClosedPort closed;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  c.AssignAddr("news.example");
  c.AssignPort("119");
  c.SetSocksServer("127.0.0.1");
  c.SetSocksPort(closed.Port());
  c.Connect();
  ASSERT_TRUE(RunUntil([&] { return log.Count("closed") == 1; }));
  EXPECT_EQ(log.log, (V{"socks-connected 10061", "connected 10061", "closed 0"}));
}

TEST(SocksConnect, ConnectOnASocketInUseChangesNothing) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  ToConnectRequest(c, p);
  p.Send(kGrant5);
  ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_THROW(c.Connect(), ESocketException);
  EXPECT_EQ(c.SocksState(), socksIdle);
  // Still the same working connection: the next bytes are data, not a reply.
  p.Send("hello");
  ASSERT_TRUE(RunUntil([&] { return log.data == "hello"; }));
}

TEST(SocksConnect, FieldsThatDoNotFitAreRefusedBeforeConnecting) {
  struct Case {
    std::string level, addr, user, password;
    bool auth;
    std::string message;
  } cases[] = {
      {"5", std::string(256, 'h'), "", "", false, "connect: host name longer than 255 bytes"},
      {"5", "h", std::string(256, 'u'), "p", true,
       "connect: socks user code longer than 255 bytes"},
      {"5", "h", "u", std::string(300, 'p'), true, "connect: socks password longer than 255 bytes"},
      {"4A", std::string(256, 'h'), "", "", false, "connect: host name longer than 255 bytes"},
      {"4", "127.0.0.1", std::string("a\0b", 3), "", false,
       "connect: socks user code contains a 0 byte"},
  };
  ScriptedProxy p;
  for (const Case& k : cases) {
    TWSocket c(nullptr);
    std::vector<TSocketState> states;
    c.OnChangeState = [&](TObject*, TSocketState, TSocketState n) { states.push_back(n); };
    c.AssignAddr(k.addr);
    c.AssignPort("119");
    c.SetSocksServer("127.0.0.1");
    c.SetSocksPort(p.Port());
    c.SetSocksLevel(k.level);
    c.SetSocksUsercode(k.user);
    c.SetSocksPassword(k.password);
    if (k.auth) c.SetSocksAuthentication(socksAuthenticateUsercode);
    try {
      c.Connect();
      ADD_FAILURE() << "no error for " << k.message;
    } catch (const ESocketException& e) {
      EXPECT_EQ(e.Message(), k.message);
    }
    EXPECT_TRUE(states.empty()) << k.message;
    EXPECT_EQ(c.SocksState(), socksIdle);
  }
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(p.Peer(), nullptr);  // nobody ever connected
}

TEST(SocksSettings, RulesMessagesAndTheResetAfterAClose) {
  TWSocket c(nullptr);
  auto message = [&](const std::function<void()>& f) {
    try {
      f();
    } catch (const ESocketException& e) {
      return e.Message();
    }
    return std::string("(none)");
  };
  EXPECT_EQ(c.SocksLevel(), "5");
  EXPECT_EQ(message([&] { c.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(message([&] { c.SetSocksLevel("4 "); }), "Invalid socks level. Must be 4, 4A or 5.");
  c.SetSocksServer("  127.0.0.1 ");
  EXPECT_EQ(c.SocksServer(), "127.0.0.1");
  EXPECT_TRUE(c.SocksInUse());
  EXPECT_EQ(message([&] { c.Listen(); }), "Listening is not supported thru socks server");
  c.AssignAddr("h");
  c.AssignPort("119");
  c.AssignProto("udp");
  c.SetSocksPort("1080");
  EXPECT_EQ(message([&] { c.Connect(); }), "tcp is the only protocol supported thru socks server");

  ScriptedProxy p;
  TWSocket d(nullptr);
  LayerLog log;
  log.Attach(d);
  d.SetSocksUsercode("kept");
  ToConnectRequest(d, p);
  p.Send(kGrant5);
  ASSERT_TRUE(RunUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_EQ(message([&] { d.SetSocksLevel("4"); }), "Can't change socks level if not closed");
  EXPECT_EQ(message([&] { d.SetSocksServer("x"); }), "Can't change socks server if not closed");
  EXPECT_EQ(message([&] { d.SetSocksPort("1"); }), "Can't change socks port if not closed");
  // The state test comes first, even for a value that is wrong anyway.
  EXPECT_EQ(message([&] { d.SetSocksLevel("6"); }), "Can't change socks level if not closed");
  d.Close();
  // A proxy, once given, stays until the caller clears it.
  EXPECT_EQ(d.SocksServer(), "127.0.0.1");
  EXPECT_EQ(d.SocksPort(), p.Port());
  EXPECT_EQ(d.SocksLevel(), "5");
  EXPECT_TRUE(d.SocksInUse());
  EXPECT_EQ(d.SocksUsercode(), "kept");
  d.SetSocksServer("");
  EXPECT_FALSE(d.SocksInUse());
}

// Sees what the core resolved for the destination.
class DestinationProbe : public TWSocket {
 public:
  using TWSocket::TWSocket;
  bool AddrResolved() const { return FAddr.Known; }
  bool PortResolvedTo(std::uint16_t port) const { return !FPort.Known || FPort.Value == port; }
};

// The proxy's endpoint is the layer's own: the destination's fields never
// hold it, and a name the proxy resolves is not looked up here either.
TEST(SocksSettings, TheDestinationFieldsHoldTheDestinationOnly) {
  ScriptedProxy p;
  DestinationProbe c(nullptr);
  Start(c, p, "5");
  ASSERT_TRUE(p.Expect(3));
  EXPECT_FALSE(c.AddrResolved());
  EXPECT_TRUE(c.PortResolvedTo(119));
  EXPECT_EQ(c.Addr(), "news.example");
  EXPECT_EQ(c.Port(), "119");
}

// After a refused negotiation the next Connect of the same object goes
// through the proxy again, never straight to the destination.
TEST(SocksSettings, AfterARefusalTheNextConnectStillGoesThroughTheProxy) {
  LoopbackServer destination;
  ScriptedProxy p;
  TWSocket c(nullptr);
  LayerLog log;
  log.Attach(c);
  Start(c, p, "5", "127.0.0.1");
  ASSERT_TRUE(p.Expect(3));
  p.Send(Bin({5, 255}));  // no acceptable method
  ASSERT_TRUE(RunUntil([&] { return log.Count("closed") == 1; }));
  p.received.clear();
  c.AssignAddr("127.0.0.1");
  c.AssignPort(destination.Port());
  c.Connect();
  ASSERT_TRUE(p.Expect(3));
  EXPECT_EQ(p.Take(3), Bin({5, 1, 0}));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_TRUE(destination.peers.empty());
}

}  // namespace
