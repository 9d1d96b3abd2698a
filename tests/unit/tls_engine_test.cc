// The TLS engines against an OpenSSL server (the tls_engine_peer fixture),
// through the socket component: a renegotiation the server asks for in the
// middle of an upload, and a server name written with a trailing dot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "tests/unit/net_test_util.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

const std::string& PeerAddress() {
  static const std::string a = Env("KESTRUN_TEST_ENGINE_PEER");
  return a;
}
const std::string& PeerCa() {
  static const std::string c = Env("KESTRUN_TEST_ENGINE_CA");
  return c;
}

constexpr int kGood = 4440;

// The bytes the peer expects from offset `from` on.
std::string Pattern(std::size_t from, std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    std::size_t at = from + i;
    bytes[i] = static_cast<char>((at * 7 + at / 251) & 0xFF);
  }
  return bytes;
}

struct Client {
  TWSocket s{nullptr};
  std::string received;
  int connected = -1, closed = -1;
  // Called with each piece received, after it is added to `received`.
  std::function<void()> OnReceived;

  Client() {
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) { connected = e; };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) { closed = e; };
    s.OnDataAvailable = [this](TObject*, std::uint16_t) {
      received += s.ReceiveString();
      if (OnReceived) OnReceived();
    };
  }
  void Connect(const std::string& name) {
    s.SetTlsEnabled(true);
    s.SetTlsServerName(name);
    s.SetTlsCaFile(PeerCa());
    s.AssignAddr(PeerAddress());
    s.AssignPort(std::to_string(kGood));
    s.Connect();
  }
  bool Got(const std::string& text) {
    return RunUntil([&] { return received.find(text) != std::string::npos || closed >= 0; },
                    30000) &&
           received.find(text) != std::string::npos;
  }
};

class TlsEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (PeerAddress().empty() || PeerCa().empty())
      FAIL() << "no TLS peer: run through ctest (KESTRUN_TEST_ENGINE_PEER, KESTRUN_TEST_ENGINE_CA)";
  }
};

TEST_F(TlsEngineTest, AnUploadGoesOnThroughARenegotiationTheServerAsksFor) {
  constexpr std::size_t kTotal = 1 << 20, kBefore = 64 << 10, kPiece = 16384;
  Client client;
  client.Connect("");
  ASSERT_TRUE(client.Got("200 ready sni=-\r\n"));
  client.received.clear();
  const std::string data = Pattern(0, kTotal);
  int refused = 0;
  // The server's HelloRequest comes in the segment that carries its line,
  // so the engine is in the new handshake while this handler runs: the
  // rest of the upload is sent then, before the server can answer.
  client.OnReceived = [&] {
    if (client.received != "RENEGOTIATING\r\n") return;
    for (std::size_t at = kBefore; at < kTotal; at += kPiece) {
      int length = static_cast<int>(std::min(kPiece, kTotal - at));
      if (client.s.Send(data.data() + at, length) != length) ++refused;
    }
  };
  client.s.SendString("UPLOAD " + std::to_string(kTotal) + " " + std::to_string(kBefore) + "\r\n");
  ASSERT_EQ(client.s.Send(data.data(), static_cast<int>(kBefore)), static_cast<int>(kBefore));
  // The server's verdict on the bytes, or the connection's end.
  ASSERT_TRUE(RunUntil(
      [&] {
        return std::count(client.received.begin(), client.received.end(), '\n') >= 2 ||
               client.closed >= 0;
      },
      60000));
  EXPECT_EQ(refused, 0);
  // Wine's SChannel cannot renegotiate: the engine declines the request
  // there and the session goes on with its first keys.
  const char* handshakes = Env("KESTRUN_TEST_RENEGOTIATION") == "declined" ? "1" : "2";
  EXPECT_EQ(client.received, "RENEGOTIATING\r\n250 " + std::to_string(kTotal) + " bytes intact, " +
                                 handshakes + " handshakes\r\n");
  // The session goes on after it, both ways.
  client.received.clear();
  client.s.SendString("QUIT\r\n");
  ASSERT_TRUE(RunUntil([&] { return client.closed >= 0; }));
  EXPECT_EQ(client.received, "205 bye\r\n");
  EXPECT_EQ(client.closed, 0);
}

TEST_F(TlsEngineTest, AServerNamesTrailingDotIsNoPartOfTheCertificatesName) {
  const struct {
    std::string name;
    int error;
    std::string greeting;
  } cases[] = {
      {"localhost.", 0, "200 ready sni=localhost\r\n"},
      {"localhost", 0, "200 ready sni=localhost\r\n"},
      // Only one dot goes, and the name that is left is still checked.
      {"localhost..", kTlsErrorNameMismatch, ""},
      {"news.kestrun.invalid.", kTlsErrorNameMismatch, ""},
      {".", kTlsErrorNameMismatch, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client;
    client.Connect(c.name);
    ASSERT_TRUE(RunUntil([&] { return client.connected >= 0; }));
    EXPECT_EQ(client.connected, c.error);
    if (c.error != 0) continue;
    EXPECT_TRUE(client.Got("\r\n"));
    EXPECT_EQ(client.received, c.greeting);
  }
}

}  // namespace
