// The user's netrc file: logins for the servers that want one.
//
// The file is $NETRC when that is set, else the first of ~/.netrc (POSIX) or
// %HOME%\_netrc, %USERPROFILE%\_netrc (Windows) that exists. Entries are the
// usual "machine NAME login USER password SECRET" (any order, any white
// space, double quotes around a value with blanks); "macdef" bodies and the
// "default" entry are skipped: a password is handed only to the server it
// was written down for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TNetrcLogin {
  std::string Login;
  std::string Password;
};

// Finds the entry of `host` (letter case ignored) in netrc text. An entry
// without a login or without a password does not count.
bool FindNetrcLogin(const std::string& text, const std::string& host, TNetrcLogin& login);

// Why a netrc file was not used.
enum class TNetrcRefusal : std::uint8_t {
  kNone,
  kOpenToOthers,  // other users may read or change it
  kNotAFile,      // a FIFO, a device, a directory: nothing to read a login from
  kTooLarge,      // larger than kNetrcMaxSize
  kLineBreak      // the server's login or password holds CR, LF or NUL
};

// No login file is this large; a larger one is no login file.
constexpr std::int64_t kNetrcMaxSize = 1 << 20;

struct TNetrcLookup {
  bool Found = false;
  TNetrcLogin Login;
  // The file that was consulted; empty when there was none.
  std::string Path;
  // The files looked for, in order (a hint names them when none exists).
  std::vector<std::string> Searched;
  // Set when the file was not used; Found is then false.
  TNetrcRefusal Refusal = TNetrcRefusal::kNone;
};

// Looks the host up in the user's netrc file. The file is opened without
// waiting (a FIFO would hold the run for ever) and read only when it is a
// regular file of at most kNetrcMaxSize bytes.
TNetrcLookup LookUpNetrc(const std::string& host);

// The environment variable that lets a password go to a server that offers
// no encryption: "1" allows it for that run. Without it a login is sent
// only inside TLS, since a server's list of what it offers travels in clear
// and anyone on the path can strip STARTTLS from it.
constexpr const char* kPlainLoginVariable = "KESTRUN_PLAIN_LOGIN";
bool PlainLoginAllowed();
