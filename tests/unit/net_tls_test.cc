// The TLS layer against an independent peer (Python's ssl module, started
// by the tls_peer fixture): the handshake and its failures, plain text in
// both directions, the upgrade of a plain connection, and both ends'
// close_notify.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "nntp/NntpCli.h"
#include "rtl/sysutils.h"
#include "tests/unit/net_test_util.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

const std::string& PeerAddress() {
  static const std::string a = Env("KESTRUN_TEST_TLS_PEER");
  return a;
}
const std::string& PeerCa() {
  static const std::string c = Env("KESTRUN_TEST_TLS_CA");
  return c;
}

enum Port {
  kGood = 4430,
  kWrongName,
  kExpired,
  kUnknownCa,
  kGarbage,
  kStartTls,
  kHangUp,
  kOld,
  kPlainNews,
  kStartTlsInjected
};

// A client that records its events in order and everything it receives.
struct Client {
  TWSocket s{nullptr};
  std::vector<std::string> events;
  std::string received;
  int connected = -1, closed = -1, tlsDone = -1;

  Client() {
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      connected = e;
      events.push_back("connected " + std::to_string(e));
    };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      closed = e;
      events.push_back("closed " + std::to_string(e));
    };
    s.OnTlsDone = [this](TObject*, std::uint16_t e) {
      tlsDone = e;
      events.push_back("tls " + std::to_string(e));
    };
    s.OnDataAvailable = [this](TObject*, std::uint16_t) {
      std::string got = s.ReceiveString();
      received += got;
      if (s.LineMode() && !got.empty()) events.push_back("line " + got);
    };
  }
  void Connect(int port, bool tls = true, const std::string& name = "",
               const std::string& ca = PeerCa()) {
    s.SetTlsEnabled(tls);
    s.SetTlsServerName(name);
    s.SetTlsCaFile(ca);
    s.AssignAddr(PeerAddress());
    s.AssignPort(std::to_string(port));
    s.Connect();
  }
  bool Got(const std::string& text) {
    return RunUntil([&] { return received.find(text) != std::string::npos || closed >= 0; }) &&
           received.find(text) != std::string::npos;
  }
  void Say(const std::string& line) { s.SendString(line + "\r\n"); }
};

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PeerAddress().empty() || PeerCa().empty())
      FAIL() << "no TLS peer: run through ctest (KESTRUN_TEST_TLS_PEER, KESTRUN_TEST_TLS_CA)";
  }
};

TEST_F(TlsTest, ACertificateOrPeerThatFailsFailsTheConnection) {
  const struct {
    const char* what;
    int port;
    std::string name, ca;
    int error;
  } cases[] = {
      {"issued for another name", kWrongName, "", PeerCa(), kTlsErrorNameMismatch},
      {"expired", kExpired, "", PeerCa(), kTlsErrorExpired},
      {"issued by an unknown CA", kUnknownCa, "", PeerCa(), kTlsErrorUntrusted},
      {"good, but another name asked for", kGood, "news.kestrun.invalid", PeerCa(),
       kTlsErrorNameMismatch},
      {"good, but the test CA not trusted", kGood, "", "", kTlsErrorUntrusted},
      {"CA file missing", kGood, "", PeerCa() + ".missing", kTlsErrorCaFile},
      {"no TLS server", kGarbage, "", PeerCa(), kTlsErrorHandshake},
      {"peer hangs up in the handshake", kHangUp, "", PeerCa(), kTlsErrorHandshake},
      {"TLS 1.1 at most", kOld, "", PeerCa(), kTlsErrorHandshake},
      // Read as a record header, its greeting would promise 8 KB more.
      {"a news server in clear", kPlainNews, "", PeerCa(), kTlsErrorHandshake},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Client client;
    client.Connect(c.port, true, c.name, c.ca);
    if (!RunUntil([&] { return client.closed >= 0; })) {
      ADD_FAILURE() << "still open after " << client.events.size() << " events";
      continue;
    }
    EXPECT_TRUE(PumpUntilIdle());
    // One OnSessionConnected with the error, then the close; no data.
    ASSERT_EQ(client.events.size(), 2u);
    EXPECT_EQ(client.events[0], "connected " + std::to_string(c.error));
    EXPECT_EQ(client.received, "");
    EXPECT_EQ(client.s.State(), wsClosed);
    EXPECT_FALSE(client.s.TlsActive());
  }
}

TEST_F(TlsTest, ClosingInTheHandshakeIsOnlyAClose) {
  // A server that takes the ClientHello and says nothing.
  LoopbackServer server;
  bool hello = false;
  server.OnReady = [&](TWSocket& peer) {
    peer.OnDataAvailable = [&](TObject*, std::uint16_t) { hello |= !peer.ReceiveString().empty(); };
  };
  Client client;
  client.s.SetTlsEnabled(true);
  client.s.SetTlsCaFile(PeerCa());
  client.s.AssignAddr("127.0.0.1");
  client.s.AssignPort(server.Port());
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return hello; }));
  client.s.Close();
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(client.events, std::vector<std::string>{"closed 0"});
}

// A peer that hangs up in the handshake, and a handler of the failure that
// connects again: the new connection is not reported closed with the old.
TEST_F(TlsTest, AFailedHandshakesHandlerThatConnectsAgainKeepsTheNewConnection) {
  Client client;
  client.s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    client.events.push_back("connected " + std::to_string(e));
    if (e == 0) return;
    client.s.Close();
    client.Connect(kGood);
  };
  client.Connect(kHangUp);
  ASSERT_TRUE(client.Got("200 ready"));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(client.events, (std::vector<std::string>{
                               "connected " + std::to_string(kTlsErrorHandshake), "connected 0"}));
  EXPECT_TRUE(client.s.TlsActive());
}

TEST_F(TlsTest, TheGreetingInTheHandshakesLastReadFollowsTheConnection) {
  // The peer sends its greeting in the same write as its last handshake
  // records; it reports the SNI it got: none for an address.
  const struct {
    std::string name, sni;
  } cases[] = {{"", "-"}, {PeerAddress(), "-"}, {"localhost", "localhost"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client;
    client.s.SetLineMode(true);
    client.Connect(kGood, true, c.name);
    ASSERT_TRUE(client.Got("\r\n"));
    EXPECT_TRUE(PumpUntilIdle());
    EXPECT_EQ(client.events,
              (std::vector<std::string>{"connected 0", "line 200 ready sni=" + c.sni + "\r\n"}));
    EXPECT_TRUE(client.s.TlsActive());
    EXPECT_EQ(client.s.ReadCount(), static_cast<int>(client.received.size()));
  }
}

TEST_F(TlsTest, TlsRunsInsideASocksTunnel) {
  // Python's and this side's TLS see each other through the proxy; the
  // name checked is the destination's, not the proxy's.
  std::string proxy = Env("KESTRUN_TEST_SOCKS");
  ASSERT_FALSE(proxy.empty()) << "no SOCKS servers (KESTRUN_TEST_SOCKS)";
  for (const char* port : {"1080", "1082"}) {
    SCOPED_TRACE(port);
    Client client;
    client.s.SetSocksServer(proxy);
    client.s.SetSocksPort(port);
    client.Connect(kGood);
    ASSERT_TRUE(client.Got("200 ready sni=-\r\n"));
    EXPECT_EQ(client.events.front(), "connected 0");
    EXPECT_TRUE(client.s.TlsActive());
  }
}

TEST_F(TlsTest, AMegabyteGoesBothWaysIntact) {
  Client client;
  client.Connect(kGood);
  ASSERT_TRUE(client.Got("200 ready"));
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  int sent = 0;
  client.s.OnDataSent = [&](TObject*, std::uint16_t) { ++sent; };
  client.received.clear();
  client.Say("ECHO " + std::to_string(data.size()));
  EXPECT_EQ(client.s.Send(data.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  ASSERT_TRUE(
      RunUntil([&] { return client.received.size() >= data.size() || client.closed >= 0; }, 30000));
  EXPECT_TRUE(client.received == data) << client.received.size();
  EXPECT_GE(sent, 1);
  EXPECT_EQ(client.closed, -1);
}

TEST_F(TlsTest, CloseNotifyGoesBothWays) {
  // This side's Close: the peer read a close_notify before the TCP close.
  std::string tag =
      "t" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  {
    Client client;
    client.Connect(kGood);
    ASSERT_TRUE(client.Got("200 ready"));
    client.Say("TAG " + tag);
    client.s.Close();
    EXPECT_EQ(client.closed, 0);
  }
  // The peer notes how a connection ended once its thread has seen the
  // end, which may come after this side's close: ask until it knows.
  std::string status;
  for (int attempt = 0; attempt < 50; ++attempt) {
    Client asker;
    asker.Connect(kGood);
    ASSERT_TRUE(asker.Got("200 ready sni=-\r\n"));
    asker.received.clear();
    asker.Say("STATUS " + tag);
    ASSERT_TRUE(asker.Got("\r\n"));
    status = asker.received;
    if (status != "STATUS unknown\r\n") break;
  }
  EXPECT_EQ(status, "STATUS close_notify\r\n");

  // The peer's close_notify ends the connection as an orderly close; a
  // peer that only closes the TCP connection may have cut the data short.
  const struct {
    const char* command;
    const char* reply;
    int closed;
  } cases[] = {{"BYE", "205 bye\r\n", 0}, {"DROP", "205 drop\r\n", kTlsErrorNoCloseNotify}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Client client;
    client.Connect(kGood);
    ASSERT_TRUE(client.Got("200 ready"));
    client.Say(c.command);
    ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }));
    EXPECT_NE(client.received.find(c.reply), std::string::npos);
    EXPECT_EQ(client.events.back(), "closed " + std::to_string(c.closed));
    EXPECT_EQ(client.s.State(), wsClosed);
  }
}

TEST_F(TlsTest, StartTlsUpgradesAPlainConnection) {
  const struct {
    std::string name;
    int error;
  } cases[] = {{"", 0}, {"news.kestrun.invalid", kTlsErrorNameMismatch}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client;
    client.Connect(kStartTls, false, c.name);
    ASSERT_TRUE(client.Got("200 plain\r\n"));
    EXPECT_FALSE(client.s.TlsActive());
    client.Say("STARTTLS");
    ASSERT_TRUE(client.Got("382 go ahead\r\n"));
    client.s.StartTls();
    // Sent before the handshake is done: it waits for the session.
    client.Say("ECHO 5");
    client.s.SendString("hello");
    EXPECT_EQ(client.tlsDone, -1);  // never inside the call
    ASSERT_TRUE(RunUntil([&] { return client.tlsDone >= 0; }));
    EXPECT_EQ(client.tlsDone, c.error);
    if (c.error == 0) {
      EXPECT_TRUE(client.s.TlsActive());
      EXPECT_TRUE(client.Got("382 go ahead\r\nhello"));
    } else {
      ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }));
      EXPECT_EQ(client.s.State(), wsClosed);
    }
  }
}

// A server's go-ahead with a forged line behind it in the same segment, in
// clear: the line must never come out as if TLS had carried it, and
// nothing of it counts as received while the handshake runs.
TEST_F(TlsTest, BytesInClearBehindTheGoAheadAreNeverHandedOut) {
  Client client;
  int heldDuringHandshake = -1;
  client.s.SetLineMode(true);
  client.s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    std::string line = client.s.ReceiveString();
    client.received += line;
    client.events.push_back("line " + line);
    if (line.rfind("382 ", 0) == 0) {
      client.s.StartTls();  // from the handler, as a program reading lines would
      heldDuringHandshake = client.s.RcvdCount();
    }
  };
  client.Connect(kStartTlsInjected, false);
  ASSERT_TRUE(client.Got("200 plain\r\n"));
  client.Say("STARTTLS");
  ASSERT_TRUE(RunUntil([&] { return client.tlsDone >= 0 || client.closed >= 0; }));
  ASSERT_EQ(client.tlsDone, 0);
  EXPECT_EQ(heldDuringHandshake, 0);
  client.Say("ECHO 7");
  client.s.SendString("after\r\n");
  ASSERT_TRUE(client.Got("after\r\n"));
  EXPECT_EQ(client.received.find("INJECTED"), std::string::npos) << client.received;
  EXPECT_EQ(client.received, "200 plain\r\n382 go ahead\r\nafter\r\n");
}

TEST_F(TlsTest, TheNntpClientDropsWhatCameInClearBehindTheGoAhead) {
  TNntpCli cli(nullptr);
  std::vector<std::uint16_t> done;
  cli.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t e) { done.push_back(e); };
  cli.SetHost(PeerAddress());
  cli.SetPort(std::to_string(kStartTlsInjected));
  cli.SetTlsCaFile(PeerCa());
  cli.Connect();
  ASSERT_TRUE(RunUntil([&] { return cli.State() == nntpReady; }));
  cli.StartTls();
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done.back(), 0);
  EXPECT_TRUE(cli.WSocket()->TlsActive());
  // The capabilities asked inside TLS got the peer's own answer, not the
  // forged line.
  EXPECT_EQ(cli.LastResponse(), "500 what?");
  cli.Abort();
}

// A stream that ends without the peer's close_notify may have been cut
// short: a reader is told so by Receive and by OnSessionClosed, whether it
// waits for the close or closes on its own when the data stops.
TEST_F(TlsTest, AStreamCutWithoutCloseNotifyReadsAsAnError) {
  for (bool closesItself : {false, true}) {
    SCOPED_TRACE(closesItself ? "the reader closes" : "the peer's close is reported");
    Client client;
    std::vector<int> results;
    int lastError = 0;
    client.s.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char buffer[256];
      int n = client.s.Receive(buffer, sizeof buffer);
      if (n > 0) {
        client.received.append(buffer, static_cast<std::size_t>(n));
        return;
      }
      if (n < 0 && client.s.LastError() == plat::WSAEWOULDBLOCK) return;
      results.push_back(n);
      lastError = client.s.LastError();
      if (closesItself) client.s.Close();
    };
    client.Connect(kGood);
    ASSERT_TRUE(client.Got("200 ready"));
    client.Say("DROP");
    ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }));
    EXPECT_NE(client.received.find("205 drop\r\n"), std::string::npos);
    EXPECT_EQ(client.closed, kTlsErrorNoCloseNotify);
    for (int n : results) EXPECT_EQ(n, -1);
    if (!results.empty()) {
      EXPECT_EQ(lastError, kTlsErrorNoCloseNotify);
    }
    if (closesItself) {
      EXPECT_FALSE(results.empty());
    }
  }
}

// What TLS had decrypted when a handler paused is delivered on Resume,
// without the peer sending anything more.
TEST_F(TlsTest, ResumeDeliversWhatTlsHeldAtThePause) {
  Client client;
  client.Connect(kGood);
  ASSERT_TRUE(client.Got("200 ready sni=-\r\n"));
  client.received.clear();
  bool paused = false;
  client.s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[64];
    int n = client.s.Receive(buffer, paused ? sizeof buffer : 4);
    if (n > 0) client.received.append(buffer, static_cast<std::size_t>(n));
    if (!paused && n > 0) {
      paused = true;
      client.s.Pause();
    }
  };
  client.Say("ECHO 12");
  client.s.SendString("0123456789ab");
  ASSERT_TRUE(RunUntil([&] { return paused; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(client.received, "0123");
  client.s.Resume();
  EXPECT_TRUE(RunUntil([&] { return client.received.size() >= 12; }));
  EXPECT_EQ(client.received, "0123456789ab");
}

// A handler of a failed upgrade that sends: nothing reaches the peer, in
// clear or otherwise, and the send says it failed.
TEST_F(TlsTest, NothingIsSentAfterAFailedUpgrade) {
  LoopbackServer server;
  std::string got;
  server.OnReady = [&](TWSocket& peer) {
    peer.OnDataAvailable = [&](TObject*, std::uint16_t) {
      std::string in = peer.ReceiveString();
      // The ClientHello is answered with no TLS at all.
      if (got.empty() && !in.empty()) peer.SendString("200 no TLS here\r\n");
      got += in;
    };
  };
  Client client;
  int sent = 0;
  client.s.OnTlsDone = [&](TObject*, std::uint16_t e) {
    client.tlsDone = e;
    try {
      sent = client.s.SendString("AUTHINFO PASS secret\r\n");
    } catch (const ESocketException&) {
      sent = -2;
    }
  };
  client.s.AssignAddr("127.0.0.1");
  client.s.AssignPort(server.Port());
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.connected == 0; }));
  client.s.StartTls();
  ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }));
  EXPECT_EQ(client.tlsDone, kTlsErrorHandshake);
  EXPECT_LT(sent, 0);
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(got.find("secret"), std::string::npos);
}

// An address with a leading zero is octal to the resolver: the certificate
// is checked against the address connected to (127...), never against a
// decimal reading of the text (177...).
TEST_F(TlsTest, AnAddressIsVerifiedAsTheAddressConnectedTo) {
  std::string octal = "0177" + PeerAddress().substr(PeerAddress().find('.'));
  Client client;
  client.s.SetTlsEnabled(true);
  client.s.SetTlsCaFile(PeerCa());
  client.s.AssignAddr(octal);
  client.s.AssignPort(std::to_string(kGood));
  client.s.Connect();
  ASSERT_TRUE(client.Got("200 ready sni=-\r\n")) << octal;
  EXPECT_EQ(client.events.front(), "connected 0");
}

// The peer sends, then ends the session (close_notify, then the TCP close)
// while the reader takes `size` bytes per event: every byte comes before
// the close, whatever the read size.
TEST_F(TlsTest, EveryByteBeforeThePeersCloseAtAnyReadSize) {
  for (const auto& [size, total] : {std::pair{1, 300000}, {257, 4 << 20}, {65536, 4 << 20}}) {
    SCOPED_TRACE(size);
    Client client;
    client.Connect(kGood);
    ASSERT_TRUE(client.Got("200 ready sni=-\r\n"));
    std::string expected;
    for (int i = 0; static_cast<int>(expected.size()) < total; ++i) {
      char line[16];
      std::snprintf(line, sizeof line, "%07d\r\n", i);
      expected += line;
    }
    expected.resize(static_cast<std::size_t>(total));
    std::string got;
    std::size_t atClose = 0;
    client.s.OnDataAvailable = [&](TObject*, std::uint16_t) {
      std::vector<char> buffer(static_cast<std::size_t>(size));
      int n = client.s.Receive(buffer.data(), size);
      if (n > 0) got.append(buffer.data(), static_cast<std::size_t>(n));
    };
    client.s.OnSessionClosed = [&](TObject*, std::uint16_t e) {
      client.closed = e;
      atClose = got.size();
    };
    client.Say("SEND " + std::to_string(total));
    ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }, 60000)) << got.size();
    EXPECT_EQ(client.closed, 0);
    EXPECT_EQ(atClose, expected.size());
    EXPECT_TRUE(got == expected);
  }
}

// Receiving paused from the start: the handshake still completes, then
// nothing reaches the handler while the peer echoes megabytes and stops
// when the client does not read; resumed, every byte comes back.
TEST_F(TlsTest, PausedReceivingHoldsTheEchoBackAndLosesNothing) {
  Client client;
  int callsWhilePaused = 0;
  client.s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (client.s.ReceivingPaused()) ++callsWhilePaused;
    char buffer[65536];
    int n = client.s.Receive(buffer, sizeof buffer);
    if (n > 0) client.received.append(buffer, static_cast<std::size_t>(n));
  };
  client.s.PauseReceiving();
  client.Connect(kGood);
  ASSERT_TRUE(RunUntil([&] { return client.connected >= 0; }));
  ASSERT_EQ(client.connected, 0);
  std::string text(16 << 20, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 31 % 26);
  client.Say("ECHO " + std::to_string(text.size()));
  client.s.Send(text.data(), static_cast<int>(text.size()));
  ASSERT_TRUE(PumpUntilIdle(200));
  EXPECT_EQ(callsWhilePaused, 0);
  EXPECT_TRUE(client.received.empty());
  EXPECT_GT(client.s.SendQueueSize(), 0);  // the peer stopped reading too
  client.s.ResumeReceiving();
  const std::string expected = "200 ready sni=-\r\n" + text;
  ASSERT_TRUE(RunUntil([&] { return client.received.size() >= expected.size(); }, 60000))
      << client.received.size();
  EXPECT_TRUE(client.received == expected);
  EXPECT_EQ(client.s.SendQueueSize(), 0);
}

}  // namespace
