// Where a program connects, how, and as whom, read once at the start of a
// run: the server argument (nntp/NntpServer.h), the proxy of KESTRUN_SOCKS,
// the CA file of KESTRUN_CA_FILE, the server's entry in the netrc file and
// whether a password may go in clear (KESTRUN_PLAIN_LOGIN). The value sets
// a client up, takes it through what guards the password before a login
// (STARTTLS, no compression under it), and words every failure on the way
// to the server in the program's language: Polish program text
// (Windows-1250) for kestrun, English for nntpfetch. What a program does
// with a failure (its exit code, which stream) stays the program's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/netrc.h"
#include "host/socksurl.h"
#include "nntp/NntpCli.h"
#include "nntp/NntpServer.h"
#include "rtl/sysutils.h"

enum class TLanguage : std::uint8_t { Polish, English };

// A line in which "%s" stands for a name as the system gave it (the server
// argument, a path): kestrun shows such a name apart from its own text, as
// the user typed it.
struct TQuotedLine {
  std::string Format;
  std::string Quoted;
  // Format with every "%s" replaced by Quoted.
  std::string Text() const;
};

// A server argument or an environment variable that cannot be used, found
// before anything was sent.
class EServerAccess : public Exception {
 public:
  explicit EServerAccess(TQuotedLine line);
  const TQuotedLine& Line() const { return FLine; }

 private:
  TQuotedLine FLine;
};

// Runs one request of the client to its end and gives the error that
// OnRequestDone reported: each program waits on its own event loop, and
// says what a stop on the way gives.
using TRunRequest =
    std::function<std::uint16_t(TNntpRequest kind, const std::function<void()>& start)>;

enum class TLoginOutcome : std::uint8_t {
  LoggedIn,
  // No login went out: no entry for the server, a netrc file that is not
  // used (FileNotice), or nothing to keep the password from the path
  // (Notice). The client's state is unchanged: ready.
  NotSent,
  // The login went out and was not taken: the server's answer is the
  // client's LastResponse (or the connection was lost meanwhile).
  Refused,
  // The upgrade to TLS before it failed (Notice says why); nothing was
  // sent, and the session must not go on.
  TlsFailed,
  // Lost, or the program told to stop, before a login went out.
  Lost,
};

struct TLogin {
  TLoginOutcome Outcome = TLoginOutcome::NotSent;
  // Why the netrc file was not used (the path quoted); empty Format when
  // it was.
  TQuotedLine FileNotice;
  // Why no login was sent to this server, or why TLS failed; empty when
  // there is nothing to say.
  std::string Notice;
  // Where the login was looked for, when the server wants one and none was
  // found: the file (quoted) and the host; empty Format otherwise.
  TQuotedLine Hint;
};

class TServerAccess {
 public:
  // Reads the argument and the environment, the netrc file included.
  // Raises EServerAccess, naming the argument or the variable, for one
  // that cannot be used: a malformed server or KESTRUN_SOCKS, a SOCKS 4
  // proxy for an IPv6 server (SOCKS 4 carries IPv4 addresses only), a
  // KESTRUN_CA_FILE that cannot be read or holds no certificate.
  TServerAccess(const std::string& argument, TLanguage language);

  // Where.
  const std::string& Argument() const { return FArgument; }
  const TNntpServerName& Server() const { return FServer; }
  // How.
  bool ViaSocks() const { return FViaSocks; }
  const TSocksUrl& Socks() const { return FSocks; }
  const std::string& CaFile() const { return FCaFile; }
  // As whom: the entry of the host as written (an IPv6 address without
  // its brackets), letter case ignored.
  const TNetrcLookup& Netrc() const { return FNetrc; }

  // Host, port, TLS, the CA file and the proxy onto the client; with
  // KESTRUN_TRACE=1 also the dialogue trace, to standard error.
  void SetUp(TNntpCli& client) const;

  // Why no connection was made, from the connect's error: TLS, the proxy,
  // or the last error of the server's addresses. Empty when there is
  // nothing to say (the user stopped the program).
  std::string ConnectFailure(std::uint16_t error) const;

  // Logs in with the netrc entry after the server asked for it (480). A
  // server that offers STARTTLS gets the password only inside TLS; one that
  // does not gets none unless KESTRUN_PLAIN_LOGIN allows it, nor does a
  // session already compressed. The password is cleared from the client.
  TLogin LogIn(TNntpCli& client, const TRunRequest& run) const;

  // Whether the session is worth compressing: KESTRUN_COMPRESS decides, and
  // when unset it is when `worthIt` and the server is not on this machine.
  bool CompressWanted(const TNntpCli& client, bool worthIt) const;
  // Compresses the rest of the session when `wanted` and the server offers
  // it. Before a login only when no password could follow inside the
  // compressed stream, whose sizes would help guess it: there is no netrc
  // login for the server, or it offers no way to log in. A server that
  // refuses is used uncompressed: the line to show, else empty.
  std::string Compress(TNntpCli& client, const TRunRequest& run, bool wanted, bool loggedIn) const;

 private:
  std::string Words(const char* polish, const std::string& english) const;
  std::string TlsFailure(std::uint16_t error) const;
  std::string SocksFailure(std::uint16_t error) const;
  std::string NetworkFailure(std::uint16_t error) const;
  std::string StartTlsFailure(std::uint16_t error, const TNntpCli& client) const;
  TQuotedLine NetrcNotice() const;
  TQuotedLine NoEntryHint() const;
  // Whether TLS carries the session before a login: already, or after a
  // STARTTLS that the server offered. False with `failure` set when the
  // upgrade failed and the session cannot go on; false with `refusal` set
  // (the server's line) when the server answered STARTTLS with a refusal
  // and the session goes on in clear.
  bool SecureBeforeLogin(TNntpCli& client, const TRunRequest& run, std::string& failure,
                         std::string& refusal) const;

  TLanguage FLanguage;
  std::string FArgument;
  TNntpServerName FServer;
  bool FViaSocks = false;
  TSocksUrl FSocks;
  std::string FCaFile;
  TNetrcLookup FNetrc;
  bool FPlainLogin = false;
};

// The inactivity limit `limitMs`, which the environment variable
// KESTRUN_IDLE_TIMEOUT (whole seconds) may shorten, for tests that must not
// wait minutes. It cannot lengthen the limit; anything else than a number
// from 1 to the limit is ignored.
std::int32_t IdleLimitMs(std::int32_t limitMs);
