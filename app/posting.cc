#include "app/posting.h"

#include <cstdlib>
#include <memory>

#include "app/article.h"
#include "app/socksurl.h"
#include "app/tlsrun.h"
#include "host/compress.h"
#include "host/console.h"
#include "host/netrc.h"
#include "nntp/NntpCli.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/forms.h"

namespace {

// No byte received and none sent for this long ends the run as a lost
// connection.
constexpr std::int32_t kInactivityLimitMs = 5 * 60 * 1000;

// The limit, which the environment variable KESTRUN_IDLE_TIMEOUT (whole
// seconds) may shorten, for tests that must not wait five minutes. It
// cannot lengthen the limit; anything else than a number from 1 to the
// limit is ignored.
std::int32_t InactivityLimitMs() {
  const char* text = std::getenv("KESTRUN_IDLE_TIMEOUT");
  if (text == nullptr || *text == '\0') return kInactivityLimitMs;
  char* end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  if (*end != '\0' || seconds < 1 || seconds > kInactivityLimitMs / 1000) {
    return kInactivityLimitMs;
  }
  return static_cast<std::int32_t>(seconds * 1000);
}

// Reads a block of the article unless the user has stopped the program; a
// read that a stop interrupts fails rather than waiting on.
std::int32_t ReadUnlessStopped(plat::FileHandle file, void* buffer, std::int32_t count) {
  if (plat::StopRequested()) throw EArticleStopped();
  std::int32_t n = plat::FileRead(file, buffer, count);
  if (n < 0 && plat::StopRequested()) throw EArticleStopped();
  return n;
}

// Pumps the program's events, blocking between them, until `done` holds
// or the program is told to stop.
template <class Done>
void WaitFor(Done done) {
  while (!done()) {
    Application->ProcessMessages();
    if (Application->Terminated() || done()) return;
    plat::WaitForMessage();
  }
}

// Ends the run as a connection that could not be made, with the reason
// on standard error.
[[noreturn]] void NoConnection(const std::string& reason) {
  WriteConsoleLine(AnsiText("Połączenie niemożliwe"));
  if (!reason.empty()) WriteConsoleErrorLine(reason);
  Halt(2);
}

// Runs one request of the client to its end; its error.
template <class Start>
std::uint16_t RunRequest(TNntpCli& client, TNntpRequest kind, Start start) {
  bool done = false;
  std::uint16_t result = 0;
  TRequestDone previous = client.OnRequestDone;
  client.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t error) {
    if (rq != kind) return;
    done = true;
    result = error;
  };
  start();
  WaitFor([&] { return done; });
  client.OnRequestDone = previous;
  return done ? result : 10054;
}

// Before a password goes out: a server that offers STARTTLS gets the login
// inside TLS, its certificate checked. Whatever stops that ends the run;
// the password is never sent after a failed upgrade. Returns whether TLS
// now carries the connection.
bool SecureBeforeLogin(TNntpCli& client, const std::string& host) {
  if (client.WSocket()->TlsActive()) return true;
  // A server that does not know CAPABILITIES offers nothing.
  if (RunRequest(client, nntpCapabilities, [&] { client.Capabilities(); }) != 0) return false;
  if (!client.HasCapability("STARTTLS")) return false;
  std::uint16_t error = RunRequest(client, nntpStartTls, [&] { client.StartTls(); });
  if (error == 0) return true;
  std::string reason = TlsFailureText(error, host);
  if (reason.empty() && error >= 100 && error < 600) {
    reason = AnsiText("Serwer odmówił STARTTLS: ") + client.LastResponse();
  } else if (reason.empty()) {
    reason = AnsiText("Połączenie TLS z serwerem " + host + " nie powiodło się (błąd ") +
             IntToStr(error) + ")";
  }
  NoConnection(reason);
}

// Logs in with the server's entry of the user's netrc file; false when
// there is none, the file is open to others, the server offers no
// encryption and the user has not allowed a login in clear, the connection
// is lost on the way, or the server refuses. `shown` is then the server's
// line to show: its refusal of the login, or the 480 it started with when
// no login was sent. The password is never shown.
bool LogIn(TNntpCli& client, const std::string& server, std::string& shown) {
  TNetrcLookup netrc = LookUpNetrc(server);
  const char* why = nullptr;
  switch (netrc.Refusal) {
    case TNetrcRefusal::kNone:
      break;
    case TNetrcRefusal::kOpenToOthers:
      why = " mogą czytać lub zmieniać inni użytkownicy, więc Kestrun go nie używa (chmod 600)";
      break;
    case TNetrcRefusal::kNotAFile:
      why = " nie jest zwykłym plikiem, więc Kestrun go nie używa";
      break;
    case TNetrcRefusal::kTooLarge:
      why = " jest większy niż 1 MB, więc Kestrun go nie używa";
      break;
    case TNetrcRefusal::kLineBreak:
      why = " ma znak końca wiersza w loginie lub haśle tego serwera, więc Kestrun go nie używa";
      break;
  }
  if (why != nullptr) {
    // The path as the system gave it, converted apart from the Polish text.
    WriteConsoleLineWith(AnsiText(std::string("Plik %s") + why), netrc.Path);
    return false;
  }
  if (!netrc.Found) return false;
  if (client.CompressActive()) {
    // Compressed with the password, it could be guessed from the sizes.
    WriteConsoleErrorLine(AnsiText("Serwer " + server +
                                   " zażądał logowania po włączeniu kompresji, więc Kestrun nie "
                                   "wysyła mu hasła"));
    return false;
  }
  const bool inTls = SecureBeforeLogin(client, server);
  // Told to stop, or the server closed, while asking what it offers.
  if (Application->Terminated() || client.State() != nntpReady) return false;
  if (!inTls && !PlainLoginAllowed()) {
    WriteConsoleErrorLine(AnsiText("Serwer " + server +
                                   " nie oferuje szyfrowania (STARTTLS), więc Kestrun nie wysyła "
                                   "mu hasła otwartym tekstem; aby na to pozwolić, ustaw " +
                                   kPlainLoginVariable + "=1"));
    return false;
  }
  bool done = false, accepted = false;
  TRequestDone previous = client.OnRequestDone;
  client.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t error) {
    if (rq != nntpAuthenticate) return;
    done = true;
    // 281 comes as an error only from the user name step: the server needs
    // no password for this user.
    accepted = error == 0 || error == 281;
  };
  client.SetUserName(netrc.Login.Login);
  client.SetPassWord(netrc.Login.Password);
  client.Authenticate();
  WaitFor([&] { return done; });
  client.SetPassWord("");
  client.OnRequestDone = previous;
  shown = client.LastResponse();
  return accepted;
}

// An article this large saves more time compressed, on a link slow enough
// for compression to pay, than the two round trips it costs to ask for it
// (CAPABILITIES, COMPRESS): about 140 KB at 10 Mbit/s and 20 ms each way.
constexpr std::int64_t kCompressFrom = 128 * 1024;

// Compresses the rest of the session when that is wanted and the server
// offers it. Before a login only when no password could follow inside the
// compressed stream: the netrc file has no login for the server, or the
// server offers no way to log in (neither AUTHINFO USER nor STARTTLS, after
// which it may offer it). A server that offers it and then refuses is
// posted to uncompressed, and the refusal is said on standard error.
void MaybeCompress(TNntpCli& client, const std::string& server, bool wanted, bool loggedIn) {
  if (!wanted || client.CompressActive() || client.State() != nntpReady) return;
  if (RunRequest(client, nntpCapabilities, [&] { client.Capabilities(); }) != 0 ||
      !client.CompressOffered())
    return;
  if (!loggedIn && client.LoginMayFollow() && LookUpNetrc(server).Found) return;
  std::uint16_t error = RunRequest(client, nntpCompress, [&] { client.Compress(); });
  if (error >= 100 && error < 600)
    WriteConsoleErrorLine(AnsiText("Serwer " + server + " odmówił kompresji (") +
                          client.LastResponse() + AnsiText("), więc artykuł idzie bez niej"));
}

// Why the connection ended while posting, for standard error; empty when
// there is nothing to add to the server's last line.
std::string PostingLossText(std::uint16_t error, const std::string& server) {
  if (error == kCompressErrorCorrupt)
    return AnsiText("Serwer " + server + " przysłał uszkodzone dane skompresowane");
  return "";
}

[[noreturn]] void Post(const std::string& argument, const std::string& author,
                       const std::string& groups, const std::string& subject,
                       const std::string& path, TProductIdentity& identity) {
  // Refused before anything goes on the wire: such a value would add header
  // lines, end the article early, or be refused by the server.
  CheckHeaderArguments(author, groups, subject);
  TNntpServerName name = ServerArgument(argument);
  const std::string& server = name.Host;  // the netrc file names hosts, not URLs
  TSocksUrl socks;
  bool viaSocks = SocksFromEnvironment(socks);  // a bad value ends the run here
  // Opened now, so that a file that cannot be posted costs no connection;
  // read once the server has greeted.
  TArticleFile file(path);
  LimitArticleFile(file);

  // Ends with the process on the error exits, which skip all clean-up.
  auto* client = new TNntpCli(nullptr);
  SetUpServer(*client, name);
  if (viaSocks) UseSocks(*client->WSocket(), socks);
  client->SetInactivityTimeout(InactivityLimitMs());
  // A failed connect is reported from the event loop after the state has
  // dropped: waited for, so that a TLS failure can be told.
  bool connectReported = false;
  std::uint16_t connectError = 0;
  client->OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t error) {
    if (rq != nntpConnect) return;
    connectReported = true;
    connectError = error;
  };
  client->Connect();
  WaitFor([&] {
    return client->State() == nntpReady || (client->State() == nntpNotConnected && connectReported);
  });
  if (client->State() != nntpReady) {
    std::string reason = TlsFailureText(connectError, server);
    if (reason.empty() && viaSocks) reason = SocksFailureText(connectError, socks, server);
    NoConnection(reason);
  }

  // The POST is judged by its own result, which is 0 only when the whole
  // article went out and was answered 240, never by the last status alone.
  bool posted = false, reported = false;
  std::uint16_t postError = 0;
  client->OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t error) {
    if (rq != nntpPost) return;
    reported = true;
    posted = error == 0;
    postError = error;
  };
  {
    auto article = std::make_unique<TMemoryStream>();
    try {
      AssembleArticle(*article, author, groups, subject, file, identity);
    } catch (const EArticleStopped&) {
      // As a stop while posting: nothing was sent, the server's last line
      // (its greeting) is what there is to show.
      WriteConsoleLine(AnsiText("Błąd serwera:"));
      WriteConsoleLine(client->LastResponse());
      Halt(3);
    }
    const bool compress =
        CompressWanted(client->WSocket()->PeerAddr(), article->Size() >= kCompressFrom);
    MaybeCompress(*client, server, compress, false);
    client->Post(article.get());
    WaitFor([&] { return reported; });
    // Most public servers want a login before a post and say so with 480.
    if (!posted && client->State() == nntpReady && client->StatusCode() == 480) {
      std::string shown = client->LastResponse();
      if (!LogIn(*client, server, shown)) {
        WriteConsoleLine(AnsiText("Błąd serwera:"));
        WriteConsoleLine(shown);
        Halt(3);
      }
      MaybeCompress(*client, server, compress, true);
      reported = false;
      article->SetPosition(0);
      client->Post(article.get());
      WaitFor([&] { return reported; });
    }
  }
  if (!posted || client->StatusCode() != 240) {
    WriteConsoleLine(AnsiText("Błąd serwera:"));
    WriteConsoleLine(client->LastResponse());
    const std::string why = PostingLossText(postError, server);
    if (!why.empty()) WriteConsoleErrorLine(why);
    Halt(3);
  }
  client->Abort();
  WriteConsoleLine(AnsiText("Artykuł wysłano"));
  delete client;
  FreeVersionInfo(identity.Block, identity.BlockSize);
  Halt(0);
}

}  // namespace

void LimitArticleFile(TArticleFile& file) {
  file.MemoryLimit = kArticleLimit;
  file.ReadFile = ReadUnlessStopped;
  if (file.Regular() && static_cast<std::uint64_t>(file.Size()) > kArticleLimit) {
    // Told before a connection is made, in the words the reading would use.
    throw EArticleFile("Cannot post %s: the file is too large to hold in memory", file.Path());
  }
}

void RunPosting(const std::string& server, const std::string& author, const std::string& groups,
                const std::string& subject, const std::string& path, TProductIdentity& identity) {
  try {
    Post(server, author, groups, subject, path, identity);
  } catch (const EArticleFile& e) {
    // The file's name as the user typed it, not as program text.
    WriteConsoleLineWith(e.MessageFormat(), e.FileName());
    Halt(1);
  }
}
