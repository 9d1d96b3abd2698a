// A news server as a user names it on a command line:
//
//   host                    port 119, plain (the nntp port)
//   host:port               that port, plain
//   nntp://host[:port]      plain, port 119 by default
//   nntps://host[:port]     TLS from the first byte, port 563 by default
//
// The scheme is read without regard to case; a URL may end in one "/".
// IPv6 literals are not taken: the socket speaks IPv4 only.
#pragma once

#include <string>

struct TNntpServerName {
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
  Ipv6Literal,
  BadHost,
  Path,
};

TNntpServerNameError ParseNntpServerName(const std::string& text, TNntpServerName& server);
// What is wrong, in English, for messages.
const char* NntpServerNameErrorText(TNntpServerNameError error);
