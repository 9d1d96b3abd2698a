// Fuzz target: SOCKS reply judging and request building.
//
// The first byte picks the reply kind; the rest arrives one byte at a time,
// as the slowest server would send it. Whatever arrives, the judgement
// settles at one length for good, never reads past what it was given, and
// a connect request built from fields that pass the check carries them
// whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "net/SocksProto.h"

namespace {

socks::Verdict Judge(int kind, const std::uint8_t* p, int n) {
  switch (kind) {
    case 0:
      return socks::JudgeMethodReply(p, n);
    case 1:
      return socks::JudgeAuthReply(p, n);
    case 2:
      return socks::JudgeSocks4Reply(p, n);
    default:
      return socks::JudgeSocks5Reply(p, n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int kind = data[0] % 4;
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  const int limit = static_cast<int>(std::min<std::size_t>(reply.size(), socks::kReplyArea));
  for (int n = 0; n <= limit; ++n) {
    // An exact copy, so that a read past n bytes is seen by the sanitizer.
    std::string held = reply.substr(0, static_cast<std::size_t>(n));
    socks::Verdict v =
        Judge(kind, reinterpret_cast<const std::uint8_t*>(held.data()), static_cast<int>(n));
    if (v.kind == socks::Verdict::kNeedMore) {
      Require(n < socks::kLongestReply,
              "n < socks::kLongestReply");  // the reply area always has room
      continue;
    }
    if (v.kind == socks::Verdict::kDone) {
      Require(v.length > 0 && v.length <= n && v.length <= socks::kLongestReply,
              "v.length > 0 && v.length <= n && v.length <= socks::kLongestReply");
    } else {
      Require(v.code != 0 && !v.text.empty(), "v.code != 0 && !v.text.empty()");
    }
    break;  // the first settled judgement is what the layer acts on
  }

  // Requests: the same bytes cut into a destination, user and password.
  std::size_t a = reply.size() / 3, b = 2 * reply.size() / 3;
  std::string dest = reply.substr(0, a), user = reply.substr(a, b - a), pass = reply.substr(b);
  for (socks::Level level : {socks::Level::k4, socks::Level::k4A, socks::Level::k5}) {
    if (!socks::CheckFields(level, dest, user, pass, true).empty()) continue;
    std::string req = socks::ConnectRequest(level, 119, 0x0100007F, user, dest);
    if (level == socks::Level::k5) {
      Require(req.size() == 7 + dest.size(), "req.size() == 7 + dest.size()");
      Require(static_cast<std::uint8_t>(req[4]) == dest.size(),
              "static_cast<std::uint8_t>(req[4]) == dest.size()");
      std::string auth = socks::AuthRequest(user, pass);
      Require(auth.size() == 3 + user.size() + pass.size(),
              "auth.size() == 3 + user.size() + pass.size()");
    } else {
      Require(req.size() == 9 + user.size() + (level == socks::Level::k4A ? dest.size() + 1 : 0),
              "req.size() == 9 + user.size() + (level == socks::Level::k4A ? dest.size() + 1 : 0)");
    }
  }
  return 0;
}
