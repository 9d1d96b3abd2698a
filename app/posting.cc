#include "app/posting.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app/article.h"
#include "app/articlesource.h"
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

std::int32_t InactivityLimitMs() { return IdleLimitMs(kInactivityLimitMs); }

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

// An article this large saves more time compressed, on a link slow enough
// for compression to pay, than the two round trips it costs to ask for it
// (CAPABILITIES, COMPRESS): about 140 KB at 10 Mbit/s and 20 ms each way.
constexpr std::int64_t kCompressFrom = 128 * 1024;

// A connection lost before the server's answer is tried again this many
// times unless KESTRUN_RETRIES says otherwise (0 turns the retries off).
constexpr int kDefaultRetries = 3;
constexpr int kMostRetries = 10;

int RetryCount() {
  const char* text = std::getenv("KESTRUN_RETRIES");
  if (text == nullptr || *text == '\0') return kDefaultRetries;
  char* end = nullptr;
  long count = std::strtol(text, &end, 10);
  if (*end != '\0' || count < 0 || count > kMostRetries) {
    WriteConsoleLine(AnsiText("Zmienna KESTRUN_RETRIES musi być liczbą od 0 do 10"));
    Halt(1);
  }
  return static_cast<int>(count);
}

// The pause before the retry `attempt` (1 for the first): it doubles each
// time, from a second at most, and all of them together stay within half
// the inactivity limit.
int RetryPauseMs(int attempt, int retries, std::int32_t limitMs) {
  std::int64_t base = std::min<std::int64_t>(1000, limitMs / (std::int64_t{1} << (retries + 1)));
  return static_cast<int>(base << (attempt - 1));
}

bool StopAsked() { return Application->Terminated() || plat::StopRequested(); }

// Waits `ms` milliseconds on the event loop; false when the user stopped
// the program meanwhile.
bool PauseFor(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    Application->ProcessMessages();
    if (StopAsked()) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return true;
    plat::WaitForMessage(static_cast<int>(left));
  }
}

// A refusal that says the server already has an article of this
// Message-ID: after a lost answer, the copy that arrived.
bool SaysDuplicate(const std::string& line) {
  if (line.rfind("441", 0) != 0) return false;
  std::string lower = line;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("435") != std::string::npos || lower.find("duplicate") != std::string::npos;
}

// The server's own answer (a status code, or a line without one), as
// opposed to a connection that ended or went silent.
bool ServerAnswered(std::uint16_t error) { return error < 1000 || error == nntpErrorNoStatus; }

// A connect that reached the server and was then dropped (reset or
// closed before the greeting).
bool LostAfterConnect(std::uint16_t error) { return error == 10053 || error == 10054; }

TNntpCli* NewClient(const TServerAccess& access, std::int32_t limitMs) {
  auto* client = new TNntpCli(nullptr);
  access.SetUp(*client);
  client->SetInactivityTimeout(limitMs);
  return client;
}

// Connects and waits for the greeting; 0 when the client is ready, else
// the error of the connect (or 10054 for a stop). `meanwhile` runs once
// the connect is under way, before the wait.
std::uint16_t ConnectClient(TNntpCli& client, const std::function<void()>& meanwhile = nullptr) {
  // A failed connect is reported from the event loop after the state has
  // dropped: waited for, so that a TLS failure can be told.
  bool reported = false;
  std::uint16_t error = 0;
  client.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) {
    if (rq != nntpConnect) return;
    reported = true;
    error = e;
  };
  client.Connect();
  if (meanwhile) {
    meanwhile();
    // The server's silence is measured from the wait on, not across work
    // of ours.
    client.SetInactivityTimeout(client.InactivityTimeout());
  }
  WaitFor([&] {
    return client.State() == nntpReady || (client.State() == nntpNotConnected && reported);
  });
  client.OnRequestDone = nullptr;
  if (client.State() == nntpReady) return 0;
  return error != 0 ? error : static_cast<std::uint16_t>(10054);
}

// How a posting run ended, and what it has to say.
enum class TOutcome : std::uint8_t { Posted, Refused, Lost, Stopped };

class TPostingRun {
 public:
  TPostingRun(const TServerAccess& access, TArticleSource& article, TNntpCli*& client,
              std::int32_t limitMs)
      : FAccess(access), FArticle(article), FClient(client), FLimitMs(limitMs) {
    FCompress = access.CompressWanted(*client, article.BodySize() >= kCompressFrom);
  }

  // Posts, and after a lost connection finds out what the server has and
  // posts again as often as `retries` allows.
  TOutcome Run(int retries) {
    for (int attempt = 0;; ++attempt) {
      if (attempt > 0) {
        if (!PauseFor(RetryPauseMs(attempt, retries, FLimitMs))) return TOutcome::Stopped;
        std::optional<TOutcome> known = Reconnect();
        if (known) return *known;
      }
      if (!FReconnectFailed) {
        std::optional<TOutcome> outcome = PostOnce(attempt > 0);
        if (outcome) return *outcome;
      }
      if (attempt >= retries) return StopAsked() ? TOutcome::Stopped : TOutcome::Lost;
    }
  }

  // The last line a server sent, for the console.
  std::string Shown() const { return FShown; }
  // Why the last attempt did not end the run, for standard error (program
  // text).
  std::string LossReason() const { return FLoss; }
  // Whether an attempt handed the article's end to the network: the server
  // may then have it, though no answer said so.
  bool MayHaveArrived() const { return FEndWentOut; }
  // Whether the article went through only after a lost connection.
  bool Recovered() const { return FRecovered; }
  // The article's identifier: the one the server named on taking it, or
  // the one it went out with.
  std::string MessageID() const { return FStoredID.empty() ? FArticle.MessageID() : FStoredID; }

 private:
  // A new connection as the first was made (TLS, proxy, the same client
  // settings); a known outcome when STAT already tells it.
  std::optional<TOutcome> Reconnect() {
    delete FClient;
    FClient = NewClient(FAccess, FLimitMs);
    FLoggedIn = false;
    FReconnectFailed = false;
    std::uint16_t error = ConnectClient(*FClient);
    if (error != 0) {
      if (StopAsked()) return TOutcome::Stopped;
      FReconnectFailed = true;
      FLoss = AnsiText("Ponowne połączenie z serwerem niemożliwe");
      // Already in the program's code page.
      std::string why = FAccess.ConnectFailure(error);
      if (!why.empty()) FLoss += " (" + why + ")";
      return std::nullopt;
    }
    if (!FEndWentOut) return std::nullopt;
    // The article may be there: asked for by its identifier before it goes
    // out again.
    const std::string id = FArticle.MessageID();
    auto askStat = [&] {
      return Run(nntpStatByID, [&] { FClient->StatByID(id.substr(1, id.size() - 2)); });
    };
    std::uint16_t stat = askStat();
    if (stat == 480 && LogIn()) stat = askStat();
    if (StopAsked()) return TOutcome::Stopped;
    if (stat == 0) {
      FRecovered = true;
      return TOutcome::Posted;
    }
    if (!ServerAnswered(stat)) {
      FReconnectFailed = true;
      NoteLoss(stat);
    }
    // 430, or STAT refused (an account that may only post): posted again
    // under the same identifier, which a server that has it refuses.
    return std::nullopt;
  }

  // One POST on the connection that is up (a login on the way when the
  // server asks for one); the outcome when it is known.
  std::optional<TOutcome> PostOnce(bool retry) {
    Compress(FLoggedIn);
    std::uint16_t error = PostArticle();
    if (!FLoggedIn && ServerAnswered(error) && FClient->StatusCode() == 480 &&
        FClient->State() == nntpReady) {
      // Most public servers want a login before a post and say so with 480.
      FShown = FClient->LastResponse();
      if (!LogIn()) return TOutcome::Refused;
      Compress(true);
      error = PostArticle();
    }
    const bool endOut = FClient->PostEndSent();
    if (!FClient->LastResponse().empty()) FShown = FClient->LastResponse();
    if (error == 0 && FClient->StatusCode() == 240) {
      FStoredID = MessageIDIn(FClient->LastResponse());
      FRecovered = retry;
      return TOutcome::Posted;
    }
    if (error == TNntpCli::kErrorReadFault) {
      if (FArticle.Failure()) throw *FArticle.Failure();
      return TOutcome::Stopped;
    }
    if (StopAsked()) {
      FEndWentOut = FEndWentOut || endOut;
      return TOutcome::Stopped;
    }
    if (ServerAnswered(error)) {
      // A copy that arrived before a lost answer is refused as a duplicate.
      if (FEndWentOut && SaysDuplicate(FClient->LastResponse())) {
        FRecovered = true;
        return TOutcome::Posted;
      }
      return TOutcome::Refused;
    }
    FEndWentOut = FEndWentOut || endOut;
    NoteLoss(error);
    // A server whose compressed stream is broken would break it again.
    if (error == kCompressErrorCorrupt) return TOutcome::Lost;
    return std::nullopt;
  }

  std::uint16_t PostArticle() {
    FArticle.Rewind();
    return Run(nntpPost, [&] { FClient->Post(&FArticle); });
  }

  // Logs in after the server asked for it; false when no login went out or
  // the server refused it (FShown its line then). A failed upgrade to TLS
  // ends the run as no connection. The password is never shown.
  bool LogIn() {
    TLogin login = FAccess.LogIn(*FClient, RequestRunner(*FClient));
    // The path as the system gave it, converted apart from the Polish text.
    if (!login.FileNotice.Format.empty())
      WriteConsoleLineWith(login.FileNotice.Format, login.FileNotice.Quoted);
    if (!login.Hint.Format.empty()) WriteConsoleErrorLineWith(login.Hint.Format, login.Hint.Quoted);
    if (login.Outcome == TLoginOutcome::TlsFailed) NoConnection(login.Notice);
    if (!login.Notice.empty()) WriteConsoleErrorLine(login.Notice);
    if (login.Outcome == TLoginOutcome::Refused) FShown = FClient->LastResponse();
    FLoggedIn = login.Outcome == TLoginOutcome::LoggedIn;
    return FLoggedIn;
  }

  // A server that offers compression and then refuses it is posted to
  // uncompressed, and the refusal is said on standard error.
  void Compress(bool loggedIn) {
    if (FClient->CompressActive()) return;
    const std::string refused =
        FAccess.Compress(*FClient, RequestRunner(*FClient), FCompress, loggedIn);
    if (!refused.empty()) WriteConsoleErrorLine(refused);
  }

  std::uint16_t Run(TNntpRequest kind, const std::function<void()>& start) {
    return RequestRunner(*FClient)(kind, start);
  }

  // What ended the connection, in words (program text).
  void NoteLoss(std::uint16_t error) {
    if (error == nntpErrorInactive) {
      FLoss = AnsiText(Format("Brak odpowiedzi serwera przez %d s", FLimitMs / 1000));
    } else if (error == kCompressErrorCorrupt) {
      FLoss =
          AnsiText("Serwer " + FAccess.Server().Host + " przysłał uszkodzone dane skompresowane");
    } else {
      FLoss = AnsiText("Połączenie z serwerem zerwane");
    }
  }

  const TServerAccess& FAccess;
  TArticleSource& FArticle;
  TNntpCli*& FClient;
  std::int32_t FLimitMs;
  bool FCompress = false;
  bool FLoggedIn = false;
  bool FEndWentOut = false;
  bool FReconnectFailed = false;
  bool FRecovered = false;
  std::string FShown;
  std::string FLoss;
  std::string FStoredID;
};

// Ends the run as not posted: the server's last line on standard output,
// the real reason on standard error.
[[noreturn]] void NotPosted(const std::string& shown, const std::string& reason) {
  WriteConsoleLine(AnsiText("Błąd serwera:"));
  WriteConsoleLine(shown);
  WriteConsoleErrorLine(reason);
  Halt(3);
}

[[noreturn]] void Post(const std::string& argument, const std::string& author,
                       const std::string& groups, const std::string& subject,
                       const std::string& path, TProductIdentity& identity) {
  // Refused before anything goes on the wire: such a value would add header
  // lines, end the article early, or be refused by the server.
  CheckHeaderArguments(author, groups, subject);
  const TServerAccess access = ReadServerAccess(argument);
  const int retries = RetryCount();
  const std::int32_t limitMs = InactivityLimitMs();
  // Opened now, so that a file that cannot be posted costs no connection;
  // read while the server makes ready to greet.
  TArticleFile file(path);
  LimitArticleFile(file);
  if (DryRunWanted()) ShowDryRun(author, groups, subject, file, identity);

  // Ends with the process on the error exits, which skip all clean-up.
  TNntpCli* client = NewClient(access, limitMs);
  // The first pass over a regular file (its character set and digest)
  // while the connection is made and the server starts a session: a
  // server takes milliseconds to greet, and the pass no longer adds to
  // them. A pipe is read once the server has greeted, as it may keep the
  // program waiting on its writer.
  std::unique_ptr<TArticleSource> article;
  auto firstPass = [&] {
    try {
      article = std::make_unique<TArticleSource>(file, author, groups, subject, identity);
    } catch (const EArticleStopped&) {
      NoConnection(AnsiText("Przerwano przez użytkownika"));
    }
  };
  std::uint16_t connectError =
      ConnectClient(*client, file.Regular() ? std::function<void()>(firstPass) : nullptr);
  // A connection that was made and then lost before the greeting is made
  // again, like one lost while posting; a refusal, a name that does not
  // resolve or a silent server is no connection at once.
  for (int retry = 1; retry <= retries && LostAfterConnect(connectError) && !StopAsked(); ++retry) {
    if (!PauseFor(RetryPauseMs(retry, retries, limitMs))) break;
    delete client;
    client = NewClient(access, limitMs);
    connectError = ConnectClient(*client);
  }
  if (connectError != 0) {
    NoConnection(StopAsked() ? AnsiText("Przerwano przez użytkownika")
                             : access.ConnectFailure(connectError));
  }

  if (!article) {
    try {
      article = std::make_unique<TArticleSource>(file, author, groups, subject, identity);
    } catch (const EArticleStopped&) {
      // Nothing was sent, the server's last line (its greeting) is what
      // there is to show.
      NotPosted(client->LastResponse(),
                AnsiText("Przerwano przez użytkownika; artykułu nie wysłano"));
    }
  }
  // The identifier the server recommends with its 340, else one of our
  // own: kept for every later attempt, so that a copy that arrived is known.
  article->ChooseMessageID = [&client] {
    std::string id = MessageIDIn(client->LastResponse());
    return id.empty() ? GenerateMessageID() : id;
  };
  TPostingRun run(access, *article, client, limitMs);
  const TOutcome outcome = run.Run(retries);
  const std::string id = run.MessageID();
  const std::string maybe = "; artykuł " + id + " mógł zostać wysłany";
  const std::string notSent = "; artykułu nie wysłano";
  switch (outcome) {
    case TOutcome::Posted:
      break;
    case TOutcome::Refused:
      NotPosted(run.Shown(), AnsiText("Serwer odrzucił artykuł: ") + run.Shown());
    case TOutcome::Stopped:
      NotPosted(run.Shown(),
                AnsiText("Przerwano przez użytkownika" + (run.MayHaveArrived() ? maybe : notSent)));
    case TOutcome::Lost:
      NotPosted(run.Shown(), run.LossReason() + AnsiText(run.MayHaveArrived() ? maybe : notSent));
  }
  client->Abort();
  WriteConsoleLine(AnsiText("Artykuł wysłano"));
  if (run.Recovered()) {
    // What went wrong on the way, though it ended well.
    WriteConsoleErrorLine(run.LossReason() +
                          AnsiText("; po ponownym połączeniu serwer ma artykuł " + id));
  }
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
