#include "host/socksurl.h"

#include <cctype>

#include "nntp/NntpServer.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// A scheme as one could be spelt: nothing that belongs to a user part.
bool IsSchemeWord(const std::string& s) {
  if (s.empty() || s.size() > 16) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool ParseSocksUrl(const std::string& text, TSocksUrl& url, std::string& error) {
  url = TSocksUrl{};
  auto fail = [&](const std::string& why) {
    error = why;
    return false;
  };
  std::size_t sep = text.find("://");
  if (sep == std::string::npos) return fail("expected socks5://, socks4:// or socks4a://");
  // No part of the value is ever quoted back but a scheme that is a plain
  // word: a mistyped value may hold the user part anywhere, and an error
  // message ends up on screens and in logs.
  std::string scheme = Lower(text.substr(0, sep));
  if (scheme == "socks5") {
    url.Level = "5";
  } else if (scheme == "socks4") {
    url.Level = "4";
  } else if (scheme == "socks4a") {
    url.Level = "4A";
  } else {
    if (!IsSchemeWord(scheme)) return fail("unknown scheme");
    return fail("unknown scheme \"" + text.substr(0, sep) + "\"");
  }
  std::string rest = text.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos) return fail("a path is not allowed");
  // The last "@" ends the user part: a password may hold a raw "@".
  std::size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    std::string rawUser = userinfo, rawPassword;
    std::size_t colon = userinfo.find(':');
    if (colon != std::string::npos) {
      if (url.Level != "5") return fail("SOCKS 4 takes a user id, not a password");
      rawUser = userinfo.substr(0, colon);
      rawPassword = userinfo.substr(colon + 1);
    } else if (url.Level == "5") {
      return fail("a SOCKS 5 user needs a password (user:password@)");
    }
    if (!PercentDecode(rawUser, url.User) || !PercentDecode(rawPassword, url.Password))
      return fail("bad percent escape in the user part");
    if (url.Level == "5" && url.User.empty()) return fail("empty user name");
    if (url.User.size() > 255 || url.Password.size() > 255)
      return fail("user name or password longer than 255 bytes");
    if (url.Level != "5" && url.User.find('\0') != std::string::npos)
      return fail("a user id cannot hold a 0 byte");
    url.HasUser = true;
  }
  // An IPv6 address goes in brackets, which keep its colons apart from the
  // port's.
  bool bracketed = !rest.empty() && rest.front() == '[';
  std::string port;
  bool hasPort = false;
  if (bracketed) {
    std::size_t close = rest.find(']');
    if (close == std::string::npos) return fail("no \"]\" after the IPv6 address");
    std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') return fail("only \":port\" may follow the \"]\"");
    hasPort = !after.empty();
    if (hasPort) port = after.substr(1);
    rest = rest.substr(1, close - 1);
    // A URL writes the zone's "%" as "%25", as in the server argument.
    if (std::size_t zone = rest.find("%25"); zone != std::string::npos) rest.erase(zone + 1, 2);
  } else {
    std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
      hasPort = true;
      port = rest.substr(colon + 1);
      rest = rest.substr(0, colon);
    }
  }
  if (hasPort) {
    // Without an "@", "user:password" typed without the host would read as
    // a host and a port: the port is not quoted.
    const char* kBadPort = "bad port (a number from 1 to 65535)";
    if (port.empty() || port.size() > 5) return fail(kBadPort);
    long value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return fail(kBadPort);
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return fail(kBadPort);
    url.Port = std::to_string(value);
  }
  if (bracketed) {
    if (!IsIpv6Address(rest)) return fail("not an IPv6 address in the brackets");
    if (!Ipv6ZoneAllowed(rest))
      return fail("a zone (\"%name\") belongs to a link-local address (fe80::) only");
  } else {
    if (rest.empty()) return fail("no host");
    for (char c : rest) {
      auto u = static_cast<unsigned char>(c);
      if (u <= ' ' || c == '[' || c == ']' || c == '@' || c == '%' || c == ':' || u == 0x7F)
        return fail("bad host (a name, an IPv4 address or an IPv6 address in brackets)");
    }
  }
  url.Host = rest;
  return true;
}

std::string SocksEndpoint(const TSocksUrl& url) {
  const bool v6 = url.Host.find(':') != std::string::npos;
  return (v6 ? "[" + url.Host + "]" : url.Host) + ":" + url.Port;
}
