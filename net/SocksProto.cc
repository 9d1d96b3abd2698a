#include "net/SocksProto.h"

#include <cstdio>

namespace socks {

namespace {

void PutPort(std::string& out, std::uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

// The address bytes arrive in network order, first octet first.
void PutAddress(std::string& out, std::uint32_t networkOrder) {
  const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
  out.append(reinterpret_cast<const char*>(b), 4);
}

Verdict Fail(int code, std::string text) {
  Verdict v;
  v.kind = Verdict::kFailed;
  v.code = code;
  v.text = std::move(text);
  return v;
}

Verdict Done(int length) {
  Verdict v;
  v.kind = Verdict::kDone;
  v.length = length;
  return v;
}

std::string Unassigned(int value) { return "unassigned error #" + std::to_string(value); }

const char* const kVersionError = "socks version error";

std::string PortText(const std::uint8_t* p) { return std::to_string(p[0] << 8 | p[1]); }

std::string Ipv6Text(const std::uint8_t* p) {
  std::string s;
  char group[8];
  for (int i = 0; i < 16; i += 2) {
    std::snprintf(group, sizeof group, "%x", p[i] << 8 | p[i + 1]);
    if (i > 0) s += ':';
    s += group;
  }
  return s;
}

}  // namespace

std::string CheckFields(Level level, const std::string& destination, const std::string& usercode,
                        const std::string& password, bool authenticate) {
  // SOCKS 4 ends the user id and the 4A name with a 0 byte, so one inside
  // would end them early; SOCKS 5 sends each with a length byte.
  if (level != Level::k5) {
    // Four bytes of address: an IPv6 one goes by name (4A) or SOCKS 5.
    if (level == Level::k4 && destination.find(':') != std::string::npos)
      return "SOCKS 4 cannot carry an IPv6 address (use SOCKS 5 or 4A)";
    if (usercode.size() > kMaxField) return "socks user code longer than 255 bytes";
    if (usercode.find('\0') != std::string::npos) return "socks user code contains a 0 byte";
    if (level == Level::k4A) {
      if (destination.size() > kMaxField) return "host name longer than 255 bytes";
      if (destination.find('\0') != std::string::npos) return "host name contains a 0 byte";
    }
    return "";
  }
  if (destination.empty()) return "empty host name";
  if (destination.size() > kMaxField) return "host name longer than 255 bytes";
  if (authenticate) {
    if (usercode.size() > kMaxField) return "socks user code longer than 255 bytes";
    if (password.size() > kMaxField) return "socks password longer than 255 bytes";
  }
  return "";
}

std::string Greeting(std::uint8_t method) { return std::string{5, 1, static_cast<char>(method)}; }

std::string AuthRequest(const std::string& usercode, const std::string& password) {
  std::string out;
  out.reserve(3 + usercode.size() + password.size());
  out += '\x01';
  out += static_cast<char>(usercode.size());
  out += usercode;
  out += static_cast<char>(password.size());
  out += password;
  return out;
}

std::string ConnectRequest(Level level, std::uint16_t port, std::uint32_t address,
                           const std::string& usercode, const std::string& destination,
                           const std::uint8_t* ipv6) {
  std::string out;
  out.reserve(22 + usercode.size() + destination.size());
  if (level == Level::k5 && ipv6 != nullptr) {
    out.append({5, 1, 0, 4});
    out.append(reinterpret_cast<const char*>(ipv6), 16);
    PutPort(out, port);
    return out;
  }
  if (level == Level::k5) {
    out.append({5, 1, 0, 3});
    out += static_cast<char>(destination.size());
    out += destination;
    PutPort(out, port);
    return out;
  }
  out.append({4, 1});
  PutPort(out, port);
  if (level == Level::k4) {
    PutAddress(out, address);
  } else {
    out.append({0, 0, 0, 1});  // 0.0.0.x: "the name follows"
  }
  out += usercode;
  out += '\0';
  if (level == Level::k4A) {
    out += destination;
    out += '\0';
  }
  return out;
}

Verdict JudgeMethodReply(const std::uint8_t* data, int count) {
  if (count < 2) return Verdict{};
  if (data[0] != 5) return Fail(20002, kVersionError);
  if (data[1] != 0 && data[1] != 2) return Fail(20003, "authentification method not acceptable");
  Verdict v = Done(2);
  v.method = data[1];
  return v;
}

Verdict JudgeAuthReply(const std::uint8_t* data, int count) {
  if (count < 1) return Verdict{};
  if (data[0] != 1) return Fail(20002, kVersionError);
  if (count > 2) return Fail(20001, "too much data availaible");
  if (count < 2) return Verdict{};
  if (data[1] != 0) return Fail(20015, "socks authentication failed");
  return Done(2);
}

Verdict JudgeSocks4Reply(const std::uint8_t* data, int count) {
  if (count < 8) return Verdict{};
  if (data[0] != 0) return Fail(20002, kVersionError);
  switch (data[1]) {
    case 90:
      return Done(8);
    case 91:
      return Fail(20016, "request rejected or failed");
    case 92:
      return Fail(20008, "connection refused");
    case 93:
      return Fail(20015, "authentification failed");
    default:
      return Fail(20012, Unassigned(data[1]));
  }
}

int Socks5ErrorCode(std::uint8_t status) {
  return status >= 1 && status <= 8 ? 20003 + status : 20012;
}

std::string Socks5ErrorText(std::uint8_t status) {
  static const char* const kTexts[] = {
      "general SOCKS server failure", "connection not allowed by ruleset",
      "network unreachable",          "host unreachable",
      "connection refused",           "time to live expired",
      "command not supported",        "address type not supported"};
  if (status >= 1 && status <= 8) return kTexts[status - 1];
  return Unassigned(status);
}

Verdict JudgeSocks5Reply(const std::uint8_t* data, int count) {
  if (count < 1) return Verdict{};
  if (data[0] != 5) return Fail(20002, kVersionError);
  if (count < 2) return Verdict{};
  if (data[1] != 0) return Fail(Socks5ErrorCode(data[1]), Socks5ErrorText(data[1]));
  if (count < 5) return Verdict{};
  int portAt;
  switch (data[3]) {
    case 1:
      portAt = 8;
      break;
    case 3:
      portAt = 5 + data[4];
      break;
    case 4:  // a proxy that reached the destination over IPv6
      portAt = 20;
      break;
    default:
      return Fail(20011, "address type not supported");
  }
  if (count < portAt + 2) return Verdict{};
  Verdict v = Done(portAt + 2);
  if (data[3] == 1) {
    v.boundAddr = std::to_string(data[4]) + '.' + std::to_string(data[5]) + '.' +
                  std::to_string(data[6]) + '.' + std::to_string(data[7]);
  } else if (data[3] == 3) {
    v.boundAddr.assign(reinterpret_cast<const char*>(data + 5), data[4]);
  } else {
    v.boundAddr = Ipv6Text(data + 4);
  }
  v.boundPort = PortText(data + portAt);
  return v;
}

}  // namespace socks
