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
      {"[::1]:119", E::Ipv6Literal},
      {"nntp://[::1]", E::Ipv6Literal},
      {"::1", E::Ipv6Literal},
      {"fe80::1:119", E::Ipv6Literal},
      {"user@h", E::BadHost},
      {"h h", E::BadHost},
      {"nntp://h/pl.test", E::Path},
  };
  for (const Case& c : cases) {
    TNntpServerName s;
    EXPECT_EQ(ParseNntpServerName(c.text, s), c.error) << c.text;
    EXPECT_STRNE(NntpServerNameErrorText(c.error), "");
  }
}

}  // namespace
