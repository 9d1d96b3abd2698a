// The user's netrc file: logins for the servers that want one.
//
// The file is $NETRC when that is set, else the first of ~/.netrc (POSIX) or
// %HOME%\_netrc, %USERPROFILE%\_netrc (Windows) that exists. Entries are the
// usual "machine NAME login USER password SECRET" (any order, any white
// space, double quotes around a value with blanks); "macdef" bodies and the
// "default" entry are skipped: a password is handed only to the server it
// was written down for.
#pragma once

#include <string>

struct TNetrcLogin {
  std::string Login;
  std::string Password;
};

// Finds the entry of `host` (letter case ignored) in netrc text. An entry
// without a login or without a password does not count.
bool FindNetrcLogin(const std::string& text, const std::string& host, TNetrcLogin& login);

struct TNetrcLookup {
  bool Found = false;
  TNetrcLogin Login;
  // The file that was consulted; empty when there was none.
  std::string Path;
  // The file was not read because other users may read or change it.
  bool OpenToOthers = false;
};

TNetrcLookup LookUpNetrc(const std::string& host);
