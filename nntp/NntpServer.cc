#include "nntp/NntpServer.h"

#include <cctype>

namespace {

bool SameLetters(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

TNntpServerNameError ParseNntpServerName(const std::string& text, TNntpServerName& server) {
  server = TNntpServerName{};
  std::string rest = text;
  std::size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    std::string scheme = rest.substr(0, sep);
    if (SameLetters(scheme, "nntps")) {
      server.Tls = true;
    } else if (!SameLetters(scheme, "nntp")) {
      return TNntpServerNameError::UnknownScheme;
    }
    rest.erase(0, sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    // news URLs name groups and articles after the host: not a server.
    if (rest.find_first_of("/?#") != std::string::npos) return TNntpServerNameError::Path;
  }
  if (!rest.empty() && rest.front() == '[') return TNntpServerNameError::Ipv6Literal;
  std::size_t colon = rest.rfind(':');
  if (colon != std::string::npos) {
    std::string port = rest.substr(colon + 1);
    rest.erase(colon);
    // A second colon is left only in an IPv6 address written bare.
    if (rest.find(':') != std::string::npos) return TNntpServerNameError::Ipv6Literal;
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
      return TNntpServerNameError::BadPort;
    }
    long value = std::stol(port);
    if (value < 1 || value > 65535) return TNntpServerNameError::BadPort;
    server.Port = std::to_string(value);
  }
  if (rest.empty()) return TNntpServerNameError::EmptyHost;
  for (char c : rest) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7F || c == '@' || c == '/' || c == '%' || c == '[' || c == ']')
      return TNntpServerNameError::BadHost;
  }
  server.Host = rest;
  return TNntpServerNameError::None;
}

const char* NntpServerNameErrorText(TNntpServerNameError error) {
  switch (error) {
    case TNntpServerNameError::None:
      return "";
    case TNntpServerNameError::EmptyHost:
      return "no host name";
    case TNntpServerNameError::BadPort:
      return "the port must be a number from 1 to 65535";
    case TNntpServerNameError::UnknownScheme:
      return "unknown scheme (nntp:// or nntps://)";
    case TNntpServerNameError::Ipv6Literal:
      return "IPv6 addresses are not supported";
    case TNntpServerNameError::BadHost:
      return "a character that no host name holds";
    case TNntpServerNameError::Path:
      return "a server has no path";
  }
  return "";
}
