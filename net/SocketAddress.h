// An address of either family (IPv4 or IPv6) with its port, in the form the
// socket library takes, and the texts and lookups that make one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/socklib.h"

// Which address families a socket uses: both (the default, the system's
// preference first), or one only.
enum TSocketFamily : std::uint8_t { sfAny, sfIPv4, sfIPv6 };

struct TSocketAddress {
  plat::TSockAddrStorage Storage{};
  int Length = 0;  // 0: no address

  int Family() const { return Storage.ss_family; }
  bool IsIPv6() const { return Storage.ss_family == plat::kAfInet6; }
  // Host order; 0 without an address.
  std::uint16_t Port() const;
  void SetPort(std::uint16_t port);
  const plat::TSockAddr* Raw() const { return reinterpret_cast<const plat::TSockAddr*>(&Storage); }
  plat::TSockAddr* Raw() { return reinterpret_cast<plat::TSockAddr*>(&Storage); }
  // The IPv4 address in network order (INADDR_NONE for any other family).
  std::uint32_t IPv4() const;
  // The IPv4 record, for the calls that take one; a record of the other
  // family gives family 0.
  plat::TSockAddrIn AsIPv4() const;

  static TSocketAddress FromIPv4(std::uint32_t networkOrder, std::uint16_t port);
  static TSocketAddress FromRaw(const plat::TSockAddr* address, int length);
  // The unspecified address of `family` (0.0.0.0 or ::).
  static TSocketAddress Any(int family, std::uint16_t port);
};
using TSocketAddressList = std::vector<TSocketAddress>;

// The address without its port: dotted for IPv4, and for IPv6 the short
// form of RFC 5952 (lower case, zeros compressed once), with "%" and the
// scope number for a scoped address. An IPv4 address that a dual-stack
// socket reports in IPv6 form (::ffff:a.b.c.d) is given as IPv4, so that a
// peer's text does not depend on how the server listens.
std::string WSocketAddressText(const TSocketAddress& address);
// The address and its port as a URL writes them: "192.0.2.1:119",
// "[2001:db8::1]:119".
std::string WSocketEndpointText(const TSocketAddress& address);
// Whether `text` is meant as an IPv6 address: it has a colon, which no host
// name or IPv4 address has. Says nothing of whether it is a valid one.
bool WSocketLooksLikeIPv6(const std::string& text);
// Every address of `host` (a name, a dotted IPv4 address, or an IPv6
// address without brackets, perhaps with a scope) of the families
// `family` allows, in the order the system prefers (RFC 6724), without
// repeats; port 0. Raises ESocketException with the library's error number.
TSocketAddressList WSocketResolveHostList(const std::string& host, TSocketFamily family);
// The order in which a connection tries `addresses` (RFC 8305): the
// system's first choice, then the families in turn.
TSocketAddressList WSocketInterleaveFamilies(const TSocketAddressList& addresses);
