// The components against real peers: TNntpCli posting to the private INN
// through dante, microsocks and a SOCKS 4A relay, and line mode reading
// INN's multi-line answers, directly and through a proxy. The addresses
// come from the environment that the test command sets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "nntp/NntpCli.h"
#include "tests/unit/net_test_util.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

struct Proxy {
  const char* what;
  std::string level, port, user, password;
  bool byName;  // the destination as a name only the proxy resolves
};

class Peers : public ::testing::Test {
 protected:
  void SetUp() override {
    inn_ = Env("KESTRUN_TEST_INN");
    socks_ = Env("KESTRUN_TEST_SOCKS");
    name_ = Env("KESTRUN_TEST_INN_NAME");
    if (inn_.empty() || socks_.empty()) GTEST_SKIP() << "needs the test command's peers";
  }
  void Through(TCustomSocksWSocket& s, const Proxy& p) {
    s.SetSocksServer(socks_);
    s.SetSocksPort(p.port);
    s.SetSocksLevel(p.level);
    s.SetSocksUsercode(p.user);
    s.SetSocksPassword(p.password);
    s.SetSocksAuthentication(p.password.empty() ? socksNoAuthentication
                                                : socksAuthenticateUsercode);
  }
  std::string inn_, socks_, name_;
};

const Proxy kProxies[] = {
    {"dante SOCKS 5", "5", "1080", "", "", false},
    {"dante SOCKS 4", "4", "1080", "kestrun", "", false},
    {"dante SOCKS 5 with a system account", "5", "1081", "kestrunsocks", "kestrun-socks", false},
    {"microsocks SOCKS 5", "5", "1082", "", "", false},
    {"microsocks SOCKS 5 with a user", "5", "1083", "kestrun", "micro secret", false},
    {"relay SOCKS 4A", "4A", "1084", "", "", true},
};

TEST_F(Peers, NntpClientPostsThroughEachProxy) {
  for (const Proxy& p : kProxies) {
    SCOPED_TRACE(p.what);
    TNntpCli client(nullptr);
    std::vector<TNntpRequest> done;
    client.OnRequestDone = [&](TObject*, TNntpRequest r, std::uint16_t) { done.push_back(r); };
    client.SetHost(p.byName ? name_ : inn_);
    Through(*client.WSocket(), p);
    client.Connect();
    // The greeting makes the client ready; only a failure completes the
    // connect request.
    ASSERT_TRUE(RunUntil([&] { return client.State() == nntpReady || !done.empty(); }, 20000));
    ASSERT_EQ(client.State(), nntpReady) << client.LastResponse();
    EXPECT_EQ(client.StatusCode(), 200);
    std::string article = std::string("From: a <a@example.invalid>\r\nNewsgroups: pl.test\r\n") +
                          "Subject: components through " + p.what + "\r\n\r\nbody\r\n";
    TMemoryStream stream;
    stream.Write(article.data(), static_cast<std::int32_t>(article.size()));
    stream.SetPosition(0);
    client.Post(&stream);
    ASSERT_TRUE(RunUntil([&] { return done.size() == 1; }, 20000));
    EXPECT_EQ(done[0], nntpPost);
    EXPECT_EQ(client.StatusCode(), 240) << client.LastResponse();
    client.Abort();
  }
}

// Reads INN's answer to HELP in line mode: one OnDataAvailable per line.
std::vector<std::string> HelpLines(TWSocket& s) {
  std::vector<std::string> lines;
  bool asked = false;
  s.SetLineMode(true);
  s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    lines.push_back(s.ReceiveString());
    if (!asked) {  // the greeting
      asked = true;
      s.SendString("HELP\r\n");
    }
  };
  s.Connect();
  EXPECT_TRUE(RunUntil([&] { return !lines.empty() && lines.back() == ".\r\n"; }, 20000));
  s.Close();
  return lines;
}

TEST_F(Peers, LineModeReadsInnsMultiLineAnswerDirectlyAndThroughAProxy) {
  TWSocket direct(nullptr);
  direct.AssignAddr(inn_);
  direct.AssignPort("119");
  std::vector<std::string> plain = HelpLines(direct);
  ASSERT_GE(plain.size(), 4u);
  EXPECT_EQ(plain[0].substr(0, 4), "200 ");
  EXPECT_EQ(plain[1].substr(0, 4), "100 ");
  for (const std::string& l : plain) {
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l.substr(l.size() - 2), "\r\n");
    EXPECT_EQ(l.find('\n'), l.size() - 1);  // exactly one line each
  }
  for (const Proxy& p : {kProxies[0], kProxies[3]}) {
    SCOPED_TRACE(p.what);
    TWSocket s(nullptr);
    s.AssignAddr(inn_);
    s.AssignPort("119");
    Through(s, p);
    std::vector<std::string> proxied = HelpLines(s);
    ASSERT_EQ(proxied.size(), plain.size());
    for (std::size_t i = 1; i < plain.size(); ++i) EXPECT_EQ(proxied[i], plain[i]);
  }
}

// A proxy reached over IPv6 and an IPv6 destination: the request carries
// the address itself (type 4), which dante relays; SOCKS 4 cannot carry
// one and says so before anything is sent.
TEST_F(Peers, Socks5CarriesAnIPv6DestinationToAProxyOnIPv6) {
  const std::string port6 = Env("KESTRUN_TEST_SOCKS6_PORT");
  ASSERT_FALSE(port6.empty());
  {
    TWSocket probe(nullptr);
    probe.OnError = [](TObject*) {};  // a machine without IPv6: Listen fails
    probe.AssignAddr("::1");
    probe.AssignPort("0");
    probe.Listen();
    if (probe.State() != wsListening) GTEST_SKIP() << "no IPv6 loopback address here";
  }
  TWSocket listener(nullptr);
  std::unique_ptr<TWSocket> peer;
  std::string peerAddr;
  listener.AssignAddr("::1");
  listener.AssignPort("0");
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    peer = std::make_unique<TWSocket>(nullptr);
    peer->Dup(listener.Accept());
    peerAddr = peer->PeerAddr();
    peer->OnDataAvailable = [&](TObject*, std::uint16_t) {
      peer->SendString("echo " + peer->ReceiveString());
    };
  };
  listener.Listen();
  TWSocket s(nullptr);
  s.SetSocksServer("::1");
  s.SetSocksPort(port6);
  s.SetSocksLevel("5");
  s.AssignAddr("0:0::1");
  s.AssignPort(listener.ReadBoundPort());
  int connected = -1;
  std::string got;
  s.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected = e; };
  s.OnDataAvailable = [&](TObject*, std::uint16_t) { got += s.ReceiveString(); };
  s.Connect();
  ASSERT_TRUE(RunUntil([&] { return connected >= 0; }));
  ASSERT_EQ(connected, 0);
  s.SendString("six\r\n");
  ASSERT_TRUE(RunUntil([&] { return got == "echo six\r\n"; }));
  EXPECT_EQ(peerAddr, "::1");  // dante's own side, on IPv6
  s.Close();

  TWSocket four(nullptr);
  four.SetSocksServer(socks_);
  four.SetSocksPort("1080");
  four.SetSocksLevel("4");
  four.AssignAddr("::1");
  four.AssignPort("119");
  try {
    four.Connect();
    ADD_FAILURE() << "SOCKS 4 took an IPv6 destination";
  } catch (const ESocketException& e) {
    EXPECT_EQ(std::string(e.what()),
              "connect: SOCKS 4 cannot carry an IPv6 address (use SOCKS 5 or 4A)");
  }
  EXPECT_EQ(four.State(), wsClosed);
}

}  // namespace
