// Where the programs connect, how and as whom: what is refused before a
// connection, what the client is given, the netrc entry an IPv6 server
// gets, and the words of a failed connection.
#include <gtest/gtest.h>

#include "host/cafile.h"
#include "host/compress.h"
#include "host/console.h"
#include "host/serveraccess.h"
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

TQuotedLine Refusal(const std::string& argument, const std::string& socks, TLanguage language) {
  Environment env(socks);
  try {
    TServerAccess access(argument, language);
  } catch (const EServerAccess& e) {
    return e.Line();
  }
  ADD_FAILURE() << argument << " with " << socks << " was taken";
  return {};
}

TEST(ServerAccess, RefusedBeforeConnecting) {
  const auto en = TLanguage::English, pl = TLanguage::Polish;
  struct Case {
    const char* argument;
    const char* socks;
    TLanguage language;
    std::string text;  // with the quoted name in place
    const char* quoted;
  } cases[] = {
      {"[::1", "", en, "bad server \"[::1\": no \"]\" after the IPv6 address", "[::1"},
      {"[zz::1]:119", "", pl,
       AnsiText("Błędny adres serwera \"[zz::1]:119\": to nie jest adres IPv6"), "[zz::1]:119"},
      // SOCKS 4 has room for an IPv4 address only.
      {"[::1]:119", "socks4://127.0.0.1", en,
       "KESTRUN_SOCKS: SOCKS 4 cannot carry the IPv6 address ::1; use socks4a:// or socks5://",
       "::1"},
      {"nntps://2001:db8::119", "socks4://u@proxy", pl,
       AnsiText("SOCKS 4 (zmienna KESTRUN_SOCKS) nie przenosi adresów IPv6, więc nie połączy z "
                "serwerem 2001:db8::119; użyj socks4a:// lub socks5://"),
       "2001:db8::119"},
      {"h", "socks5://[::1", en, "KESTRUN_SOCKS: no \"]\" after the IPv6 address", ""},
      {"h", "socks5://[::1", pl,
       AnsiText("Błędna wartość zmiennej KESTRUN_SOCKS: no \"]\" after the IPv6 address"), ""},
  };
  for (const Case& c : cases) {
    TQuotedLine line = Refusal(c.argument, c.socks, c.language);
    EXPECT_EQ(line.Text(), c.text) << c.argument;
    EXPECT_EQ(line.Quoted, c.quoted) << c.argument;
  }
}

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
      {"::1", "::1", true},
      {"2001:db8::1", "nntp://[2001:DB8::1]", true},
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
      {"", pl, 10061, AnsiText("Serwer ::1 odmówił połączenia (błąd 10061)")},
      {"", pl, 11001, AnsiText("Nie znaleziono adresu serwera ::1 (błąd 11001)")},
      {"", pl, kTlsErrorUntrusted, AnsiText("Certyfikat serwera ::1 nie jest zaufany")},
      {"", en, kTlsErrorUntrusted, "TLS certificate not trusted"},
      {"socks5://[::1]:1080", en, 20015,
       "the SOCKS proxy [::1]:1080 refused the user name or password"},
      {"socks5://[::1]:1080", pl, 10061,
       AnsiText("Nie można połączyć się z serwerem pośredniczącym SOCKS [::1]:1080 (błąd 10061)")},
      {"socks5://proxy", pl, 20006,
       AnsiText("Serwer pośredniczący SOCKS proxy:1080 nie może dotrzeć do ::1")},
      // Stopped by the user: nothing to add.
      {"", pl, 0, ""},
      {"socks5://proxy", en, 0, ""},
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
      {"127.0.0.1", true},
      {"127.3.2.1", true},
      {"::1", true},
      {"::ffff:127.0.0.1", true},
      {"::FFFF:127.9.8.7", true},
      {"0:0:0:0:0:0:0:1", true},
      {"10.0.0.1", false},
      {"::2", false},
      {"::ffff:128.0.0.1", false},
      {"::127.0.0.1", false},
      {"2001:db8::1", false},
      {"1::1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(LoopbackAddress(c.address), c.loopback) << c.address;
}

}  // namespace
