// The SOCKS server a posting run goes through, from the KESTRUN_SOCKS
// environment variable:
//
//   socks5://[user:password@]host[:port]
//   socks4://[userid@]host[:port]
//   socks4a://[userid@]host[:port]
//
// The port defaults to 1080; user and password are percent-decoded.
#pragma once

#include <cstdint>
#include <string>

class TWSocket;

struct TSocksUrl {
  std::string Level;  // "4", "4A" or "5", as the socket's SocksLevel takes it
  std::string Host;
  std::string Port = "1080";
  std::string User;      // SOCKS 5 user name, SOCKS 4 user id
  std::string Password;  // SOCKS 5 only
  bool HasUser = false;  // SOCKS 5: authenticate with user name and password
};

constexpr const char* kSocksVariable = "KESTRUN_SOCKS";

// Parses a value; on failure returns false and says why in `error`.
bool ParseSocksUrl(const std::string& text, TSocksUrl& url, std::string& error);

// Reads KESTRUN_SOCKS: false when it is unset or empty; a value that does
// not parse raises an Exception naming the variable.
bool SocksFromEnvironment(TSocksUrl& url);
// Sets the socket up to connect through the server.
void UseSocks(TWSocket& socket, const TSocksUrl& url);
// Why a connection through the proxy failed, as a Polish line (Windows-1250)
// for the console, from the connect's error; empty when it has nothing to
// add. Never names the user or the password.
std::string SocksFailureText(std::uint16_t error, const TSocksUrl& url, const std::string& host);
