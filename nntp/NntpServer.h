// A news server as a user names it on a command line:
//
//   host                    port 119, plain (the nntp port)
//   host:port               that port, plain
//   nntp://host[:port]      plain, port 119 by default
//   nntps://host[:port]     TLS from the first byte, port 563 by default
//
// where host is a name, an IPv4 address, or an IPv6 address in brackets
// ("[::1]", "[::1]:563", "nntps://[2001:db8::119]"). An IPv6 address may
// also stand bare, without a port ("::1", "fe80::1%eth0"): a text with two
// or more colons and no brackets is read as an address on the default port,
// never as an address followed by a port, since "fe80::1:119" is itself an
// address.
//
// The scheme is read without regard to case; a URL may end in one "/".
#pragma once

#include <cstdint>
#include <string>

struct TNntpServerName {
  // A name, an IPv4 address, or an IPv6 address without its brackets (as
  // the socket's Addr takes it), its zone ("%eth0") kept.
  std::string Host;
  // Decimal, 1 to 65535; empty when the text names none, which leaves the
  // client's own default (nntp, or nntps with Tls).
  std::string Port;
  bool Tls = false;
};

enum class TNntpServerNameError {
  None,
  EmptyHost,
  BadPort,
  UnknownScheme,
  BadHost,
  Path,
  // "[" without its "]".
  UnclosedBracket,
  // Something else than ":port" after the "]".
  AfterBracket,
  // Brackets, or two colons, around something that is no IPv6 address.
  NotIpv6,
  // A URL with an IPv6 address not in brackets ("nntp://::1:7101"): where
  // the address ends and the port begins cannot be told.
  UrlNeedsBrackets,
  // A zone ("%lo") on an address that is not link-local: the zone says
  // which link, and only a link-local address needs one.
  ZoneNotLinkLocal,
};

TNntpServerNameError ParseNntpServerName(const std::string& text, TNntpServerName& server);
// What is wrong, in English, for messages.
const char* NntpServerNameErrorText(TNntpServerNameError error);
// The URL as it is meant, for a UrlNeedsBrackets refusal: the address in
// brackets, a last ":number" after a whole address taken for the port
// ("nntp://::1:7101" gives "nntp://[::1]:7101").
std::string BracketedServerUrl(const std::string& text);
// Whether an IPv6 address may carry the zone it has: none, or one on a
// link-local address (fe80::/10, or a link-local multicast ff02::).
bool Ipv6ZoneAllowed(const std::string& address);

// Whether `text` is an IPv6 address as people write it: eight groups of one
// to four hex digits separated by colons, one run of zero groups written
// "::" at most once, the last two groups perhaps as a dotted IPv4 address
// ("::ffff:192.0.2.1"), then perhaps "%" and a zone (an interface's name or
// number). Brackets are no part of it. `bytes` gets the address in network
// order (the zone aside).
bool ParseIpv6Address(const std::string& text, std::uint8_t (&bytes)[16]);
bool IsIpv6Address(const std::string& text);
