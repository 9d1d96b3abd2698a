// Server arguments: each form, and each refusal before a connection.
#include <gtest/gtest.h>

#include "nntp/NntpServer.h"

namespace {

using E = TNntpServerNameError;

TEST(NntpServerName, Forms) {
  struct Case {
    const char* text;
    const char* host;
    const char* port;
    bool tls;
  } cases[] = {
      {"news.example.net", "news.example.net", "", false},
      {"127.0.0.2:1119", "127.0.0.2", "1119", false},
      {"nntp://news.example.net", "news.example.net", "", false},
      {"NNTP://news.example.net:119/", "news.example.net", "119", false},
      {"nntps://news.example.net", "news.example.net", "", true},
      {"NntpS://10.0.0.1:00563", "10.0.0.1", "563", true},
      {"h:65535", "h", "65535", false},
      // IPv6: bare on the default port, or in brackets with or without one.
      {"::1", "::1", "", false},
      {"2001:db8::119", "2001:db8::119", "", false},
      {"fe80::1:119", "fe80::1:119", "", false},  // an address, not a port
      {"fe80::1%eth0", "fe80::1%eth0", "", false},
      {"[::1]", "::1", "", false},
      {"[::1]:563", "::1", "563", false},
      {"nntp://[2001:DB8::1]:8119/", "2001:DB8::1", "8119", false},
      {"nntps://[::ffff:192.0.2.1]", "::ffff:192.0.2.1", "", true},
      {"nntps://[fe80::1%25eth0]:563", "fe80::1%eth0", "563", true},
  };
  for (const Case& c : cases) {
    TNntpServerName s;
    EXPECT_EQ(ParseNntpServerName(c.text, s), E::None) << c.text;
    EXPECT_EQ(s.Host, c.host) << c.text;
    EXPECT_EQ(s.Port, c.port) << c.text;
    EXPECT_EQ(s.Tls, c.tls) << c.text;
  }
}

TEST(NntpServerName, Refusals) {
  struct Case {
    const char* text;
    E error;
  } cases[] = {
      {"", E::EmptyHost},
      {"nntps://", E::EmptyHost},
      {":119", E::EmptyHost},
      {"h:0", E::BadPort},
      {"h:65536", E::BadPort},
      {"h:", E::BadPort},
      {"h:12x", E::BadPort},
      {"nntps://h:-1", E::BadPort},
      {"news://h", E::UnknownScheme},
      {"https://h", E::UnknownScheme},
      {"user@h", E::BadHost},
      {"h h", E::BadHost},
      {"h%eth0", E::BadHost},
      {"nntp://h/pl.test", E::Path},
      {"[::1", E::UnclosedBracket},
      {"nntps://[::1", E::UnclosedBracket},
      {"[::1]x", E::AfterBracket},
      {"[::1]119", E::AfterBracket},
      {"[::1]:", E::BadPort},
      {"[::1]:0", E::BadPort},
      {"nntp://[::1]:65536", E::BadPort},
      {"[127.0.0.1]", E::NotIpv6},
      {"[zz::1]", E::NotIpv6},
      {"[]", E::NotIpv6},
      {"[news.example.net]:119", E::NotIpv6},
      {"1:2:3", E::NotIpv6},
      {"::1::2", E::NotIpv6},
      {"nntp://::1:7101", E::UrlNeedsBrackets},
      {"nntps://2001:db8::1", E::UrlNeedsBrackets},
      {"[::1%lo]", E::ZoneNotLinkLocal},
      {"::1%lo", E::ZoneNotLinkLocal},
      {"nntp://[2001:db8::1%25eth0]:119", E::ZoneNotLinkLocal},
  };
  for (const Case& c : cases) {
    TNntpServerName s;
    EXPECT_EQ(ParseNntpServerName(c.text, s), c.error) << c.text;
    EXPECT_STRNE(NntpServerNameErrorText(c.error), "");
  }
  // The URL that was meant, for the refusal to suggest.
  EXPECT_EQ(BracketedServerUrl("nntp://::1:7101"), "nntp://[::1]:7101");
  EXPECT_EQ(BracketedServerUrl("nntps://2001:db8::1/"), "nntps://[2001:db8::1]");
}

std::string Bytes(const char* text) {
  std::uint8_t b[16];
  if (!ParseIpv6Address(text, b)) return "-";
  std::string hex;
  for (std::uint8_t byte : b)
    hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
  return hex;
}

TEST(Ipv6Address, WhatIsAndIsNotOne) {
  struct Case {
    const char* text;
    const char* bytes;  // "-": no address
  } cases[] = {
      {"::", "00000000000000000000000000000000"},
      {"2001:DB8:0:0:1:0:0:1", "20010db8000000000001000000000001"},
      {"2001:db8::1:0:0:1", "20010db8000000000001000000000001"},
      {"1:2:3:4:5:6:7::", "00010002000300040005000600070000"},  // "::" for one group
      {"::ffff:127.0.0.1", "00000000000000000000ffff7f000001"},
      {"fe80::1%eth0", "fe800000000000000000000000000001"},
      {"1:2:3:4:5:6:7", "-"},     // seven groups
      {"1:2:3:4::5:6:7:8", "-"},  // "::" and eight more
      {"1::2::3", "-"},           // two gaps
      {":1::2", "-"},
      {"1::2:", "-"},
      {"12345::1", "-"},  // five digits
      {"g::1", "-"},
      {"::256.0.0.1", "-"},
      {"::01.2.3.4", "-"},  // a leading zero
      {"1.2.3.4::", "-"},   // IPv4 only at the end
      {"::1%", "-"},        // an empty zone
      {"::1%eth 0", "-"},
  };
  for (const Case& c : cases) EXPECT_EQ(Bytes(c.text), c.bytes) << c.text;
}

}  // namespace
