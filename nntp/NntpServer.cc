#include "nntp/NntpServer.h"

#include <cctype>
#include <vector>

namespace {

bool SameLetters(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// A port as typed, 1 to 65535 (leading zeros allowed), into its plain
// decimal form.
bool ParsePort(const std::string& text, std::string& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long value = std::stol(text);
  if (value < 1 || value > 65535) return false;
  port = std::to_string(value);
  return true;
}

bool HexValue(char c, unsigned& value) {
  if (c >= '0' && c <= '9') {
    value = static_cast<unsigned>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    value = static_cast<unsigned>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    value = static_cast<unsigned>(c - 'A' + 10);
  } else {
    return false;
  }
  return true;
}

// A dotted IPv4 address at the end of an IPv6 one: four decimal numbers of
// 0 to 255 without leading zeros, which some readers take for octal.
bool ParseDottedQuad(const std::string& text, std::uint8_t* out) {
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t end = part < 3 ? text.find('.', start) : text.size();
    if (end == std::string::npos) return false;
    std::string number = text.substr(start, end - start);
    if (number.empty() || number.size() > 3 ||
        number.find_first_not_of("0123456789") != std::string::npos ||
        (number.size() > 1 && number[0] == '0'))
      return false;
    int value = std::stoi(number);
    if (value > 255) return false;
    out[part] = static_cast<std::uint8_t>(value);
    start = end + 1;
  }
  return true;
}

// Colon-separated groups of one to four hex digits, the last of which may
// be a dotted IPv4 address (two groups' worth) when `lastMayBeQuad`;
// appended to `groups`. An empty text has no groups.
bool ParseGroups(const std::string& text, bool lastMayBeQuad, std::vector<std::uint16_t>& groups) {
  if (text.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(':', start);
    std::string group = text.substr(start, end == std::string::npos ? end : end - start);
    if (end == std::string::npos && lastMayBeQuad && group.find('.') != std::string::npos) {
      std::uint8_t quad[4];
      if (!ParseDottedQuad(group, quad)) return false;
      groups.push_back(static_cast<std::uint16_t>(quad[0] << 8 | quad[1]));
      groups.push_back(static_cast<std::uint16_t>(quad[2] << 8 | quad[3]));
      return true;
    }
    if (group.empty() || group.size() > 4) return false;
    unsigned value = 0;
    for (char c : group) {
      unsigned digit = 0;
      if (!HexValue(c, digit)) return false;
      value = value * 16 + digit;
    }
    groups.push_back(static_cast<std::uint16_t>(value));
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool ZoneCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

// An IPv6 address inside brackets, or written bare, into the host.
TNntpServerNameError Ipv6Host(const std::string& text, TNntpServerName& server) {
  if (!IsIpv6Address(text)) return TNntpServerNameError::NotIpv6;
  if (!Ipv6ZoneAllowed(text)) return TNntpServerNameError::ZoneNotLinkLocal;
  server.Host = text;
  return TNntpServerNameError::None;
}

}  // namespace

bool ParseIpv6Address(const std::string& text, std::uint8_t (&bytes)[16]) {
  std::string address = text;
  std::size_t percent = text.find('%');
  if (percent != std::string::npos) {
    std::string zone = text.substr(percent + 1);
    if (zone.empty()) return false;
    for (char c : zone) {
      if (!ZoneCharacter(c)) return false;
    }
    address.erase(percent);
  }
  std::vector<std::uint16_t> head, tail;
  std::size_t gap = address.find("::");
  if (gap == std::string::npos) {
    if (!ParseGroups(address, true, head) || head.size() != 8) return false;
  } else {
    // "::" stands for one zero group or more, and only once.
    std::string after = address.substr(gap + 2);
    if (after.find("::") != std::string::npos) return false;
    if (!ParseGroups(address.substr(0, gap), false, head) || !ParseGroups(after, true, tail) ||
        head.size() + tail.size() > 7)
      return false;
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
  }
  for (int i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(head[i] & 0xFF);
  }
  return true;
}

bool IsIpv6Address(const std::string& text) {
  std::uint8_t bytes[16];
  return ParseIpv6Address(text, bytes);
}

bool Ipv6ZoneAllowed(const std::string& address) {
  if (address.find('%') == std::string::npos) return true;
  std::uint8_t b[16];
  if (!ParseIpv6Address(address, b)) return false;
  return (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) || (b[0] == 0xFF && (b[1] & 0x0F) == 0x02);
}

std::string BracketedServerUrl(const std::string& text) {
  std::size_t sep = text.find("://");
  std::string scheme = sep == std::string::npos ? "nntp" : text.substr(0, sep);
  std::string rest = sep == std::string::npos ? text : text.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::size_t colon = rest.rfind(':');
  if (colon != std::string::npos && colon + 1 < rest.size() &&
      rest.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
      IsIpv6Address(rest.substr(0, colon))) {
    return scheme + "://[" + rest.substr(0, colon) + "]" + rest.substr(colon);
  }
  return scheme + "://[" + rest + "]";
}

TNntpServerNameError ParseNntpServerName(const std::string& text, TNntpServerName& server) {
  server = TNntpServerName{};
  std::string rest = text;
  bool url = false;
  std::size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    std::string scheme = rest.substr(0, sep);
    if (SameLetters(scheme, "nntps")) {
      server.Tls = true;
    } else if (!SameLetters(scheme, "nntp")) {
      return TNntpServerNameError::UnknownScheme;
    }
    url = true;
    rest.erase(0, sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    // news URLs name groups and articles after the host: not a server.
    if (rest.find_first_of("/?#") != std::string::npos) return TNntpServerNameError::Path;
  }
  if (!rest.empty() && rest.front() == '[') {
    std::size_t close = rest.find(']');
    if (close == std::string::npos) return TNntpServerNameError::UnclosedBracket;
    std::string address = rest.substr(1, close - 1);
    std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return TNntpServerNameError::AfterBracket;
      if (!ParsePort(after.substr(1), server.Port)) return TNntpServerNameError::BadPort;
    }
    // A URL writes the zone's "%" as "%25".
    std::size_t zone = address.find("%25");
    if (url && zone != std::string::npos) address.erase(zone + 1, 2);
    return Ipv6Host(address, server);
  }
  std::size_t colon = rest.find(':');
  if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
    // A URL has its ports after the brackets, never after a bare address.
    if (url) return TNntpServerNameError::UrlNeedsBrackets;
    return Ipv6Host(rest, server);
  }
  if (colon != std::string::npos) {
    if (!ParsePort(rest.substr(colon + 1), server.Port)) return TNntpServerNameError::BadPort;
    rest.erase(colon);
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
    case TNntpServerNameError::BadHost:
      return "a character that no host name holds";
    case TNntpServerNameError::Path:
      return "a server has no path";
    case TNntpServerNameError::UnclosedBracket:
      return "no \"]\" after the IPv6 address";
    case TNntpServerNameError::AfterBracket:
      return "only \":port\" may follow the \"]\"";
    case TNntpServerNameError::NotIpv6:
      return "not an IPv6 address";
    case TNntpServerNameError::UrlNeedsBrackets:
      return "a URL writes an IPv6 address in brackets";
    case TNntpServerNameError::ZoneNotLinkLocal:
      return "a zone (\"%name\") belongs to a link-local address (fe80::) only";
  }
  return "";
}
