#include "net/SocketAddress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// The port is at the same place in both families' records, in network
// order; read and written here byte by byte, since a socket's default
// address is made before any library is loaded.
std::uint16_t TSocketAddress::Port() const {
  if (Length == 0) return 0;
  const auto* b = reinterpret_cast<const std::uint8_t*>(&Storage) + 2;
  return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

void TSocketAddress::SetPort(std::uint16_t port) {
  auto* b = reinterpret_cast<std::uint8_t*>(&Storage) + 2;
  b[0] = static_cast<std::uint8_t>(port >> 8);
  b[1] = static_cast<std::uint8_t>(port & 0xFF);
}

std::uint32_t TSocketAddress::IPv4() const {
  return Family() == plat::kAfInet ? AsIPv4().sin_addr.S_addr : plat::kInaddrNone;
}

plat::TSockAddrIn TSocketAddress::AsIPv4() const {
  plat::TSockAddrIn in{};
  if (Family() == plat::kAfInet) std::memcpy(&in, &Storage, sizeof in);
  return in;
}

TSocketAddress TSocketAddress::FromIPv4(std::uint32_t networkOrder, std::uint16_t port) {
  plat::TSockAddrIn in{plat::kAfInet, 0, {networkOrder}, {}};
  TSocketAddress a = FromRaw(reinterpret_cast<const plat::TSockAddr*>(&in), sizeof in);
  a.SetPort(port);
  return a;
}

TSocketAddress TSocketAddress::FromRaw(const plat::TSockAddr* address, int length) {
  TSocketAddress a;
  if (address == nullptr || length <= 0) return a;
  a.Length = std::min<int>(length, sizeof a.Storage);
  std::memcpy(&a.Storage, address, static_cast<std::size_t>(a.Length));
  return a;
}

TSocketAddress TSocketAddress::Any(int family, std::uint16_t port) {
  if (family != plat::kAfInet6) return FromIPv4(plat::kInaddrAny, port);
  plat::TSockAddrIn6 in6{};
  in6.sin6_family = plat::kAfInet6;
  TSocketAddress a = FromRaw(reinterpret_cast<const plat::TSockAddr*>(&in6), sizeof in6);
  a.SetPort(port);
  return a;
}

namespace {

std::string DottedQuad(const std::uint8_t* b) {
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

}  // namespace

std::string WSocketEndpointText(const TSocketAddress& address) {
  const std::string text = WSocketAddressText(address);
  const std::string port = std::to_string(address.Port());
  if (address.Family() == plat::kAfInet6 && text.find(':') != std::string::npos)
    return "[" + text + "]:" + port;
  return text + ":" + port;
}

std::string WSocketAddressText(const TSocketAddress& address) {
  if (address.Family() == plat::kAfInet) {
    std::uint32_t a = address.IPv4();
    return DottedQuad(reinterpret_cast<const std::uint8_t*>(&a));
  }
  if (address.Family() != plat::kAfInet6) return "";
  plat::TSockAddrIn6 in6;
  std::memcpy(&in6, &address.Storage, sizeof in6);
  const std::uint8_t* b = in6.sin6_addr.s6_bytes;
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(b, kMapped, 12) == 0) return DottedQuad(b + 12);
  std::uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups, the first of equals.
  int bestStart = -1, bestLength = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  std::string text;
  char hex[8];
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::snprintf(hex, sizeof hex, "%x", groups[i]);
    text += hex;
  }
  if (in6.sin6_scope_id != 0) text += "%" + std::to_string(in6.sin6_scope_id);
  return text;
}

bool WSocketLooksLikeIPv6(const std::string& text) { return text.find(':') != std::string::npos; }

TSocketAddressList WSocketInterleaveFamilies(const TSocketAddressList& addresses) {
  TSocketAddressList first, other, order;
  for (const TSocketAddress& a : addresses)
    (a.Family() == addresses.front().Family() ? first : other).push_back(a);
  for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) order.push_back(first[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}
