// The SOCKS server the programs go through, from the KESTRUN_SOCKS
// environment variable:
//
//   socks5://[user:password@]host[:port]
//   socks4://[userid@]host[:port]
//   socks4a://[userid@]host[:port]
//
// where host is a name, an IPv4 address or an IPv6 address in brackets
// ("socks5://[::1]:1080"). The port defaults to 1080; user and password
// are percent-decoded.
#pragma once

#include <string>

struct TSocksUrl {
  std::string Level;  // "4", "4A" or "5", as the socket's SocksLevel takes it
  // As the socket's SocksServer takes it: an IPv6 address without brackets.
  std::string Host;
  std::string Port = "1080";
  std::string User;      // SOCKS 5 user name, SOCKS 4 user id
  std::string Password;  // SOCKS 5 only
  bool HasUser = false;  // SOCKS 5: authenticate with user name and password
};

constexpr const char* kSocksVariable = "KESTRUN_SOCKS";

// Parses a value; on failure returns false and says why in `error`, in
// English, never quoting the user part.
bool ParseSocksUrl(const std::string& text, TSocksUrl& url, std::string& error);

// The proxy's host and port for messages: "proxy:1080", "[::1]:1080".
std::string SocksEndpoint(const TSocksUrl& url);
