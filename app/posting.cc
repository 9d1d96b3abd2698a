#include "app/posting.h"

#include <cstdlib>
#include <memory>

#include "app/article.h"
#include "app/dryrun.h"
#include "host/console.h"
#include "host/serveraccess.h"
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

// Where to connect, how and as whom; an argument or a variable that cannot
// be used ends the run with a message naming it (exit code 1), before
// anything is sent.
TServerAccess ReadServerAccess(const std::string& argument) {
  try {
    return TServerAccess(argument, TLanguage::Polish);
  } catch (const EServerAccess& e) {
    // The argument or path as typed, converted apart from the Polish text.
    WriteConsoleLineWith(e.Line().Format, e.Line().Quoted);
    Halt(1);
  }
}

// Runs one request of the client to its end; its error. A stop on the way
// is a lost connection.
TRunRequest RequestRunner(TNntpCli& client) {
  return [&client](TNntpRequest kind, const std::function<void()>& start) {
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
    return done ? result : static_cast<std::uint16_t>(10054);
  };
}

// Logs in after the server asked for it; false when no login went out or
// the server refused it, with `shown` the server's line to show: its
// refusal of the login, or the 480 it started with when none was sent. A
// failed upgrade to TLS ends the run as no connection. The password is
// never shown.
bool LogIn(const TServerAccess& access, TNntpCli& client, std::string& shown) {
  TLogin login = access.LogIn(client, RequestRunner(client));
  // The path as the system gave it, converted apart from the Polish text.
  if (!login.FileNotice.Format.empty())
    WriteConsoleLineWith(login.FileNotice.Format, login.FileNotice.Quoted);
  if (!login.Hint.Format.empty()) WriteConsoleErrorLineWith(login.Hint.Format, login.Hint.Quoted);
  if (login.Outcome == TLoginOutcome::TlsFailed) NoConnection(login.Notice);
  if (!login.Notice.empty()) WriteConsoleErrorLine(login.Notice);
  if (login.Outcome == TLoginOutcome::Refused) shown = client.LastResponse();
  return login.Outcome == TLoginOutcome::LoggedIn;
}

// An article this large saves more time compressed, on a link slow enough
// for compression to pay, than the two round trips it costs to ask for it
// (CAPABILITIES, COMPRESS): about 140 KB at 10 Mbit/s and 20 ms each way.
constexpr std::int64_t kCompressFrom = 128 * 1024;

// A server that offers compression and then refuses it is posted to
// uncompressed, and the refusal is said on standard error.
void MaybeCompress(const TServerAccess& access, TNntpCli& client, bool wanted, bool loggedIn) {
  const std::string refused = access.Compress(client, RequestRunner(client), wanted, loggedIn);
  if (!refused.empty()) WriteConsoleErrorLine(refused);
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
  const TServerAccess access = ReadServerAccess(argument);
  const std::string& server = access.Server().Host;
  // Opened now, so that a file that cannot be posted costs no connection;
  // read once the server has greeted.
  TArticleFile file(path);
  LimitArticleFile(file);
  if (DryRunWanted()) ShowDryRun(author, groups, subject, file, identity);

  // Ends with the process on the error exits, which skip all clean-up.
  auto* client = new TNntpCli(nullptr);
  access.SetUp(*client);
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
  if (client->State() != nntpReady) NoConnection(access.ConnectFailure(connectError));

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
    const bool compress = access.CompressWanted(*client, article->Size() >= kCompressFrom);
    MaybeCompress(access, *client, compress, false);
    client->Post(article.get());
    WaitFor([&] { return reported; });
    // Most public servers want a login before a post and say so with 480.
    if (!posted && client->State() == nntpReady && client->StatusCode() == 480) {
      std::string shown = client->LastResponse();
      if (!LogIn(access, *client, shown)) {
        WriteConsoleLine(AnsiText("Błąd serwera:"));
        WriteConsoleLine(shown);
        Halt(3);
      }
      MaybeCompress(access, *client, compress, true);
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
