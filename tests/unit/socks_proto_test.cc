// The SOCKS messages: requests byte for byte, the fields that cannot travel,
// and the judgement of every reply, whole and cut short.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/SocksProto.h"

namespace {

using socks::Level;
using socks::Verdict;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> v) {
  return std::vector<std::uint8_t>(v.begin(), v.end());
}

std::string S(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

TEST(SocksRequests, EachLevelByteForByte) {
  EXPECT_EQ(socks::Greeting(0), S({5, 1, 0}));
  EXPECT_EQ(socks::Greeting(2), S({5, 1, 2}));
  EXPECT_EQ(socks::AuthRequest("jan", "tajne"), S({1, 3}) + "jan" + S({5}) + "tajne");
  EXPECT_EQ(socks::AuthRequest("", ""), S({1, 0, 0}));
  // 10.1.2.3 in network order is the bytes 10 1 2 3 in memory.
  std::uint32_t addr;
  const unsigned char raw[4] = {10, 1, 2, 3};
  std::memcpy(&addr, raw, 4);
  EXPECT_EQ(socks::ConnectRequest(Level::k4, 119, addr, "jan", "ignored"),
            S({4, 1, 0, 119, 10, 1, 2, 3}) + "jan" + S({0}));
  EXPECT_EQ(socks::ConnectRequest(Level::k4, 0x1234, addr, "", "x"),
            S({4, 1, 0x12, 0x34, 10, 1, 2, 3, 0}));
  EXPECT_EQ(socks::ConnectRequest(Level::k4A, 119, addr, "id", "news.example"),
            S({4, 1, 0, 119, 0, 0, 0, 1}) + "id" + S({0}) + "news.example" + S({0}));
  // SOCKS 5 sends a name, also for a dotted address.
  EXPECT_EQ(socks::ConnectRequest(Level::k5, 563, addr, "u", "10.1.2.3"),
            S({5, 1, 0, 3, 8}) + "10.1.2.3" + S({2, 0x33}));
  // An IPv6 destination goes as an address (type 4): 16 bytes, no name.
  const std::uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(socks::ConnectRequest(Level::k5, 119, 0, "u", "2001:db8::1", v6),
            S({5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 119}));
}

TEST(SocksRequests, LongestFieldsTravelWholeAndLongerOnesAreRefused) {
  std::string max(255, 'n'), over(256, 'n');
  std::string req = socks::ConnectRequest(Level::k5, 119, 0, "", max);
  ASSERT_EQ(req.size(), 4u + 1 + 255 + 2);
  EXPECT_EQ(static_cast<unsigned char>(req[4]), 255);
  std::string auth = socks::AuthRequest(max, max);
  ASSERT_EQ(auth.size(), 3u + 255 + 255);
  EXPECT_EQ(static_cast<unsigned char>(auth[1]), 255);
  EXPECT_EQ(static_cast<unsigned char>(auth[257]), 255);

  EXPECT_EQ(socks::CheckFields(Level::k5, max, max, max, true), "");
  EXPECT_EQ(socks::CheckFields(Level::k5, over, "", "", false), "host name longer than 255 bytes");
  EXPECT_EQ(socks::CheckFields(Level::k5, "", "", "", false), "empty host name");
  EXPECT_EQ(socks::CheckFields(Level::k5, "h", over, "", true),
            "socks user code longer than 255 bytes");
  EXPECT_EQ(socks::CheckFields(Level::k5, "h", "", over, true),
            "socks password longer than 255 bytes");
  // Without authentication the user name and password are not sent.
  EXPECT_EQ(socks::CheckFields(Level::k5, "h", over, over, false), "");
  EXPECT_EQ(socks::CheckFields(Level::k4, over, "", "", false), "");  // 4 sends an address
  // ... of four bytes: an IPv6 one cannot go, a name of 4A can.
  EXPECT_EQ(socks::CheckFields(Level::k4, "::1", "", "", false),
            "SOCKS 4 cannot carry an IPv6 address (use SOCKS 5 or 4A)");
  EXPECT_EQ(socks::CheckFields(Level::k4A, "::1", "", "", false), "");
  EXPECT_EQ(socks::CheckFields(Level::k4, "h", over, "", false),
            "socks user code longer than 255 bytes");
  EXPECT_EQ(socks::CheckFields(Level::k4, "h", std::string("a\0b", 3), "", false),
            "socks user code contains a 0 byte");
  EXPECT_EQ(socks::CheckFields(Level::k4A, over, "", "", false), "host name longer than 255 bytes");
  EXPECT_EQ(socks::CheckFields(Level::k4A, std::string("a\0b", 3), "", "", false),
            "host name contains a 0 byte");
}

// Judges `reply` whole, and every shorter prefix of it as "need more".
Verdict JudgeGrowing(Verdict (*judge)(const std::uint8_t*, int),
                     const std::vector<std::uint8_t>& reply) {
  for (std::size_t n = 0; n < reply.size(); ++n) {
    Verdict partial = judge(reply.data(), static_cast<int>(n));
    if (partial.kind != Verdict::kNeedMore) return partial;
  }
  return judge(reply.data(), static_cast<int>(reply.size()));
}

TEST(SocksReplies, MethodReply) {
  Verdict v = JudgeGrowing(socks::JudgeMethodReply, Bytes({5, 0}));
  EXPECT_EQ(v.kind, Verdict::kDone);
  EXPECT_EQ(v.method, 0);
  v = JudgeGrowing(socks::JudgeMethodReply, Bytes({5, 2}));
  EXPECT_EQ(v.method, 2);
  v = JudgeGrowing(socks::JudgeMethodReply, Bytes({5, 255}));
  EXPECT_EQ(v.kind, Verdict::kFailed);
  EXPECT_EQ(v.code, 20003);
  EXPECT_EQ(v.text, "authentification method not acceptable");
  v = JudgeGrowing(socks::JudgeMethodReply, Bytes({4, 0}));
  EXPECT_EQ(v.code, 20002);
  EXPECT_EQ(v.text, "socks version error");
}

TEST(SocksReplies, AuthReply) {
  EXPECT_EQ(JudgeGrowing(socks::JudgeAuthReply, Bytes({1, 0})).kind, Verdict::kDone);
  Verdict v = JudgeGrowing(socks::JudgeAuthReply, Bytes({1, 1}));
  EXPECT_EQ(v.code, 20015);
  EXPECT_EQ(v.text, "socks authentication failed");
  v = socks::JudgeAuthReply(Bytes({5}).data(), 1);  // the version is judged at once
  EXPECT_EQ(v.code, 20002);
  v = socks::JudgeAuthReply(Bytes({1, 0, 0}).data(), 3);
  EXPECT_EQ(v.code, 20001);
  EXPECT_EQ(v.text, "too much data availaible");
}

TEST(SocksReplies, Socks4EveryStatus) {
  struct Case {
    int status, code;
    const char* text;
  } cases[] = {{91, 20016, "request rejected or failed"},
               {92, 20008, "connection refused"},
               {93, 20015, "authentification failed"},
               {94, 20012, "unassigned error #94"},
               {0, 20012, "unassigned error #0"}};
  Verdict ok = JudgeGrowing(socks::JudgeSocks4Reply, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ok.kind, Verdict::kDone);
  EXPECT_EQ(ok.length, 8);
  for (const Case& c : cases) {
    Verdict v = JudgeGrowing(socks::JudgeSocks4Reply, Bytes({0, c.status, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(v.kind, Verdict::kFailed) << c.status;
    EXPECT_EQ(v.code, c.code) << c.status;
    EXPECT_EQ(v.text, c.text) << c.status;
  }
  EXPECT_EQ(JudgeGrowing(socks::JudgeSocks4Reply, Bytes({4, 90, 0, 0, 0, 0, 0, 0})).code, 20002);
}

TEST(SocksReplies, Socks5EveryStatus) {
  const char* texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                         "network unreachable",          "host unreachable",
                         "connection refused",           "time to live expired",
                         "command not supported",        "address type not supported"};
  for (int status = 1; status <= 8; ++status) {
    // Judged as soon as the status byte is there.
    Verdict v = socks::JudgeSocks5Reply(Bytes({5, status}).data(), 2);
    EXPECT_EQ(v.code, 20003 + status);
    EXPECT_EQ(v.text, texts[status - 1]);
  }
  Verdict v = socks::JudgeSocks5Reply(Bytes({5, 9}).data(), 2);
  EXPECT_EQ(v.code, 20012);
  EXPECT_EQ(v.text, "unassigned error #9");
  EXPECT_EQ(socks::JudgeSocks5Reply(Bytes({4}).data(), 1).code, 20002);
}

TEST(SocksReplies, Socks5BoundAddressesOfEveryKind) {
  Verdict v = JudgeGrowing(socks::JudgeSocks5Reply, Bytes({5, 0, 0, 1, 192, 0, 2, 7, 0x1F, 0x90}));
  ASSERT_EQ(v.kind, Verdict::kDone);
  EXPECT_EQ(v.length, 10);
  EXPECT_EQ(v.boundAddr, "192.0.2.7");
  EXPECT_EQ(v.boundPort, "8080");

  // The longest reply there is: a 255-byte bound name.
  std::vector<std::uint8_t> named = Bytes({5, 0, 0, 3, 255});
  named.insert(named.end(), 255, 'b');
  named.push_back(0xFF);
  named.push_back(0xFF);
  ASSERT_EQ(named.size(), static_cast<std::size_t>(socks::kLongestReply));
  v = JudgeGrowing(socks::JudgeSocks5Reply, named);
  ASSERT_EQ(v.kind, Verdict::kDone);
  EXPECT_EQ(v.length, 262);
  EXPECT_EQ(v.boundAddr, std::string(255, 'b'));
  EXPECT_EQ(v.boundPort, "65535");

  std::vector<std::uint8_t> six = Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8});
  six.insert(six.end(), 11, 0);
  six.push_back(1);
  six.push_back(0);
  six.push_back(119);
  v = JudgeGrowing(socks::JudgeSocks5Reply, six);
  ASSERT_EQ(v.kind, Verdict::kDone);
  EXPECT_EQ(v.length, 22);
  EXPECT_EQ(v.boundAddr, "2001:db8:0:0:0:0:0:1");
  EXPECT_EQ(v.boundPort, "119");

  v = JudgeGrowing(socks::JudgeSocks5Reply, Bytes({5, 0, 0, 7, 0}));
  EXPECT_EQ(v.code, 20011);
  EXPECT_EQ(v.text, "address type not supported");
}

TEST(SocksReplies, SurplusIsNotPartOfTheReply) {
  std::vector<std::uint8_t> r = Bytes({5, 0, 0, 3, 2, 'a', 'b', 0, 25});
  r.insert(r.end(), {'2', '0', '0', ' ', 'h', 'i'});
  Verdict v = socks::JudgeSocks5Reply(r.data(), static_cast<int>(r.size()));
  ASSERT_EQ(v.kind, Verdict::kDone);
  EXPECT_EQ(v.length, 9);
  EXPECT_EQ(v.boundAddr, "ab");
  EXPECT_EQ(v.boundPort, "25");
}

}  // namespace
