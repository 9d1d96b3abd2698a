// Where the programs connect, how and as whom: what the client is given,
// the netrc entry an IPv6 server gets, and the words of a failed
// connection. What is refused before a connection: server_forms_test.py.
#include "host/serveraccess.h"

#include <gtest/gtest.h>

#include "host/cafile.h"
#include "host/compress.h"
#include "host/console.h"
#include "net/WSocket.h"
#include "platform/testsupport.h"
#include "tests/unit/scratch_dir.h"

namespace {

// The environment of one case; everything the value reads is set or unset.
class Environment {
 public:
  Environment(const std::string& socks, const std::string& netrc = "") {
    plat::testing::SetEnvironment(kSocksVariable, socks);
    plat::testing::SetEnvironment(kCaFileVariable, "");
    plat::testing::SetEnvironment("NETRC", netrc);
  }
  ~Environment() {
    plat::testing::SetEnvironment(kSocksVariable, "");
    plat::testing::SetEnvironment("NETRC", "");
  }
};

TEST(ServerAccess, TheClientGetsTheAddressWithoutBrackets) {
  struct Case {
    const char* argument;
    const char* socks;
    const char* host;
    const char* port;
    bool tls;
    const char* socksServer;
    const char* socksLevel;
  } cases[] = {
      {"nntps://[::1]:563", "socks5://[::1]:1080", "::1", "563", true, "::1", "5"},
      // 4A sends the address as a name, for the proxy to read.
      {"2001:db8::119", "socks4a://[2001:db8::1080]", "2001:db8::119", "", false, "2001:db8::1080",
       "4A"},
      {"[fe80::1%eth0]", "", "fe80::1%eth0", "", false, "", ""},
  };
  for (const Case& c : cases) {
    Environment env(c.socks);
    TServerAccess access(c.argument, TLanguage::English);
    TNntpCli client(nullptr);
    access.SetUp(client);
    EXPECT_EQ(client.Host(), c.host) << c.argument;
    EXPECT_EQ(client.Port(), c.port) << c.argument;
    EXPECT_EQ(client.Tls(), c.tls) << c.argument;
    EXPECT_EQ(client.WSocket()->SocksServer(), c.socksServer) << c.argument;
    if (*c.socks != '\0') {
      EXPECT_EQ(client.WSocket()->SocksLevel(), c.socksLevel) << c.argument;
    }
  }
}

// The entry is the address as the user wrote it, without brackets.
TEST(ServerAccess, NetrcEntryOfAnIpv6Server) {
  ScratchDir dir;
  const std::string path = dir / "netrc";
  struct Case {
    const char* machine;
    const char* argument;
    bool found;
  } cases[] = {
      {"::1", "[::1]:563", true},
      {"fe80::1%eth0", "nntps://[fe80::1%25eth0]", true},
      {"0:0:0:0:0:0:0:1", "[::1]", false},
      {"[::1]", "[::1]", false},
  };
  for (const Case& c : cases) {
    WriteAll(path, std::string("machine ") + c.machine + " login jan password tajne\n");
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    Environment env("", path);
    TServerAccess access(c.argument, TLanguage::English);
    EXPECT_EQ(access.Netrc().Found, c.found) << c.machine << " for " << c.argument;
  }
}

TEST(ServerAccess, WhyNoConnection) {
  const auto en = TLanguage::English, pl = TLanguage::Polish;
  struct Case {
    const char* socks;
    TLanguage language;
    std::uint16_t error;
    std::string text;
  } cases[] = {
      // Every address failed: the last error is told.
      {"", en, 10061, "Connection refused (error 10061)"},
      {"", pl, 10061, AnsiText("Serwer ::1 odmówił połączenia (błąd 10061: odmowa połączenia)")},
      // An IPv6 proxy is written with its brackets, apart from its port.
      {"socks5://[::1]:1080", en, 20015,
       "the SOCKS proxy [::1]:1080 refused the user name or password"},
      {"socks5://[::1]:1080", pl, 10061,
       AnsiText("Nie można połączyć się z serwerem pośredniczącym SOCKS [::1]:1080 (błąd 10061: "
                "odmowa połączenia)")},
      // Stopped by the user: nothing to add.
      {"", pl, 0, ""},
  };
  for (const Case& c : cases) {
    Environment env(c.socks);
    TServerAccess access("[::1]:119", c.language);
    EXPECT_EQ(access.ConnectFailure(c.error), c.text) << c.socks << " " << c.error;
  }
}

TEST(LoopbackAddress, BothFamilies) {
  struct Case {
    const char* address;
    bool loopback;
  } cases[] = {
      {"127.3.2.1", true},       {"::1", true},          {"::FFFF:127.9.8.7", true},
      {"0:0:0:0:0:0:0:1", true}, {"::2", false},         {"::ffff:128.0.0.1", false},
      {"::127.0.0.1", false},    {"2001:db8::1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(LoopbackAddress(c.address), c.loopback) << c.address;
}

}  // namespace
