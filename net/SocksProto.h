// The SOCKS 4, 4A and 5 client messages as plain functions: building the
// requests and judging the replies. No sockets here, so each piece can be
// tested and fuzzed on its own; TCustomSocksWSocket drives them.
#pragma once

#include <cstdint>
#include <string>

namespace socks {

// The longest reply a SOCKS 5 server can send: version, status, reserved,
// address type, a name length byte, a 255-byte name and the port.
constexpr int kLongestReply = 262;
// Where replies are collected: the longest reply and room for bytes the
// destination sends right behind it.
constexpr int kReplyArea = kLongestReply + 1024;
// The longest user name, password or destination name a request can carry
// (their lengths travel in one byte).
constexpr std::size_t kMaxField = 255;

enum class Level { k4, k4A, k5 };

// Returns an error text when a field cannot travel in the request, empty
// when everything fits. Checked before connecting, so nothing is cut short
// on the wire.
std::string CheckFields(Level level, const std::string& destination, const std::string& usercode,
                        const std::string& password, bool authenticate);

// The SOCKS 5 greeting offering one method (0 none, 2 user name/password).
std::string Greeting(std::uint8_t method);
// The SOCKS 5 user name/password request. Fields must have passed CheckFields.
std::string AuthRequest(const std::string& usercode, const std::string& password);
// The connect request. `address` (network order) is used by level 4 only;
// levels 4A and 5 send `destination` as a name, but level 5 sends the 16
// bytes of `ipv6` as an IPv6 address when given (the destination written as
// one). Fields must have passed CheckFields.
std::string ConnectRequest(Level level, std::uint16_t port, std::uint32_t address,
                           const std::string& usercode, const std::string& destination,
                           const std::uint8_t* ipv6 = nullptr);

// What a collection of reply bytes amounts to so far.
struct Verdict {
  enum Kind { kNeedMore, kDone, kFailed } kind = kNeedMore;
  int code = 0;             // failures: the error code reported to the application
  std::string text;         // failures: its text
  int length = 0;           // done: the bytes the reply took (the rest is surplus)
  std::uint8_t method = 0;  // method reply: the server's choice
  std::string boundAddr;    // SOCKS 5 connect reply
  std::string boundPort;
};

// The SOCKS 5 method reply (2 bytes). Done carries the method chosen, 0 or 2.
Verdict JudgeMethodReply(const std::uint8_t* data, int count);
// The user name/password reply: exactly 2 bytes.
Verdict JudgeAuthReply(const std::uint8_t* data, int count);
// The SOCKS 4 and 4A connect reply (8 bytes).
Verdict JudgeSocks4Reply(const std::uint8_t* data, int count);
// The SOCKS 5 connect reply, with an IPv4 address, a name or an IPv6 address.
Verdict JudgeSocks5Reply(const std::uint8_t* data, int count);

// The SOCKS 5 reply codes (status byte 1 to 8, and anything else).
int Socks5ErrorCode(std::uint8_t status);
std::string Socks5ErrorText(std::uint8_t status);

}  // namespace socks
