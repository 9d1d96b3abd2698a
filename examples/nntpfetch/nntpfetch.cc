// nntpfetch: reads news with the NNTP client component, the way a program
// of someone else's would use it.
//
//   nntpfetch server group            the group's overview, one line per article
//   nntpfetch server group number     that article, as the server holds it
//   nntpfetch server <message-id>     the article with that message-id
//
// Standard output carries the data alone, byte for byte (CR LF line ends,
// the server's doubled leading dots undone); messages go to standard error.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/serveraccess.h"
#include "nntp/NntpCli.h"
#include "platform/messages.h"
#include "platform/userenv.h"
#include "rtl/forms.h"
#include "rtl/sysutils.h"

namespace {

constexpr int kExitDone = 0, kExitLocal = 1, kExitNoConnection = 2, kExitRefused = 3;
// The answers that bring what was asked for.
constexpr std::int32_t kArticleFollows = 220, kOverviewFollows = 224;

void Say(const std::string& text) {
  std::fputs(("nntpfetch: " + text + "\n").c_str(), stderr);
  std::fflush(stderr);
}

void ShowHelp() {
  std::fputs(
      "nntpfetch: reads news from an NNTP server\n"
      "\n"
      "  nntpfetch server group            the group's overview, one line per article\n"
      "  nntpfetch server group number     that article, as the server holds it\n"
      "  nntpfetch server <message-id>     the article with that message-id\n"
      "\n"
      "The server is a host (port 119), host:port, nntp://host[:port] or, over TLS,\n"
      "nntps://host[:port] (port 563); KESTRUN_CA_FILE names a PEM file of CA\n"
      "certificates to trust instead of the system's.\n"
      "\n"
      "The data goes to standard output byte for byte (CR LF line ends); messages go\n"
      "to standard error. When the server wants a login, it is taken from the netrc\n"
      "file ($NETRC, else ~/.netrc; on Windows %HOME%\\_netrc or %USERPROFILE%\\_netrc).\n"
      "\n"
      "Exit codes: 0 done, 1 usage or local error, 2 no connection,\n"
      "3 the server refused (no such group or article, login refused).\n",
      stderr);
}

// Standard output through a buffer of its own: one system call per 64 KB
// instead of one per line, and memory that does not grow with the answer.
// A refused write makes Write report less than it was given, which ends the
// client's request with its write error. Write runs once for every line of
// the answer, so it is a bare copy into a fixed array, nothing more.
class TOutputStream : public TStream {
 public:
  explicit TOutputStream(plat::FileHandle handle)
      : FHandle(handle), FBuffer(std::make_unique_for_overwrite<char[]>(kSize)) {}
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    if (!FFailed && count >= 0 && static_cast<std::size_t>(count) <= kSize - FUsed) {
      std::memcpy(FBuffer.get() + FUsed, buffer, static_cast<std::size_t>(count));
      FUsed += static_cast<std::size_t>(count);
      FWritten += count;
      return count;
    }
    return WriteFull(buffer, count);
  }
  // Bytes taken so far: the stream's position and size.
  std::int64_t Seek(std::int64_t, int) override { return FWritten; }
  bool Flush() {
    if (FFailed) return false;
    bool ok = WriteAll(FBuffer.get(), FUsed);
    FUsed = 0;
    return ok;
  }
  bool Failed() const { return FFailed; }
  std::int64_t Written() const { return FWritten; }

 private:
  static constexpr std::size_t kSize = 64 * 1024;
  // A write that does not fit what is left of the buffer. Kept apart from
  // Write, so that the copy of the usual line is not weighed down by the
  // registers the system call's path needs.
  [[gnu::noinline]] std::int32_t WriteFull(const void* buffer, std::int32_t count) {
    if (FFailed || count < 0 || !Flush()) return 0;
    auto size = static_cast<std::size_t>(count);
    if (size >= kSize) {
      // Too large to gather: straight out, and counted all the same.
      if (!WriteAll(static_cast<const char*>(buffer), size)) return 0;
    } else {
      std::memcpy(FBuffer.get(), buffer, size);
      FUsed = size;
    }
    FWritten += count;
    return count;
  }
  bool WriteAll(const char* data, std::size_t size) {
    while (size > 0 && !FFailed) {
      std::int32_t n = plat::FileWrite(FHandle, data, static_cast<std::int32_t>(size));
      if (n <= 0) {
        FFailed = true;
        break;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return !FFailed;
  }
  plat::FileHandle FHandle;
  std::unique_ptr<char[]> FBuffer;
  std::size_t FUsed = 0;
  std::int64_t FWritten = 0;
  bool FFailed = false;
};

// TLS could not be set up (the reason is said); the run ends as a
// connection that could not be made.
struct TlsFailure {
  std::string Reason;
};

// The server's refusal that ends the run, its line to show.
struct Refused {
  std::string Line;
};

// A server silent this long ends the run.
constexpr int kIdleSeconds = 5 * 60;

class Fetcher {
 public:
  explicit Fetcher(const TServerAccess& access) : FAccess(access) {
    FAccess.SetUp(FClient);
    // A server that falls silent ends the run rather than holding it.
    FClient.SetInactivityTimeout(IdleLimitMs(kIdleSeconds * 1000));
    FClient.OnRequestDone = [this](TObject*, TNntpRequest, std::uint16_t error) {
      FDone = true;
      FError = error;
    };
  }

  // Connects and waits for the greeting; false when there is no connection
  // (its error in ConnectError, reported after the state has dropped).
  bool Connect() {
    FDone = false;
    FError = 0;
    FClient.Connect();
    WaitUntil([this] {
      return FClient.State() == nntpReady || (FClient.State() == nntpNotConnected && FDone);
    });
    if (FClient.State() != nntpReady) return false;
    FCompressWanted = FAccess.CompressWanted(FClient, true);
    return true;
  }

  // Compresses the rest of the session when that is wanted, the server
  // offers it, and no password could follow under it.
  void MaybeCompress(bool loggedIn) {
    const std::string refused = FAccess.Compress(FClient, Runner(), FCompressWanted, loggedIn);
    if (!refused.empty()) Say(refused);
  }
  std::uint16_t ConnectError() const { return FError; }

  // Runs one request to its end. A server that wants a login (480) gets
  // one from the netrc file, and the request is made once more.
  std::uint16_t Run(const std::function<void()>& start) {
    std::uint16_t error = RunOnce(start);
    if (error != 480) return error;
    if (LogIn()) return RunOnce(start);
    // Lost while asking what the server offers: a lost connection, not a
    // refusal.
    return FClient.State() == nntpReady ? error : static_cast<std::uint16_t>(10054);
  }

  TNntpCli& Client() { return FClient; }

 private:
  std::uint16_t RunOnce(const std::function<void()>& start) {
    FDone = false;
    FError = 0;
    start();
    WaitUntil([this] { return FDone; });
    if (!FDone) throw Exception("interrupted by the user");
    return FError;
  }

  TRunRequest Runner() {
    return [this](TNntpRequest, const std::function<void()>& start) { return RunOnce(start); };
  }

  bool LogIn() {
    const std::string refusal = FClient.LastResponse();
    TLogin login = FAccess.LogIn(FClient, Runner());
    if (!login.FileNotice.Format.empty()) Say(login.FileNotice.Text());
    if (!login.Hint.Format.empty()) Say(login.Hint.Text());
    switch (login.Outcome) {
      case TLoginOutcome::LoggedIn:
        MaybeCompress(true);
        return FClient.State() == nntpReady;
      case TLoginOutcome::TlsFailed:
        throw TlsFailure{login.Notice};
      case TLoginOutcome::NotSent:
        if (login.Notice.empty()) return false;
        Say(login.Notice);
        // What the server said to the request, not to what was asked since.
        throw Refused{refusal};
      case TLoginOutcome::Refused:
      case TLoginOutcome::Lost:
        break;
    }
    return false;
  }

  // Pumps the event loop, blocking between events, until `done` holds or
  // the program is told to stop.
  static void WaitUntil(const std::function<bool()>& done) {
    while (!done()) {
      Application->ProcessMessages();
      if (done() || Application->Terminated()) return;
      plat::WaitForMessage();
    }
  }

  const TServerAccess& FAccess;
  bool FCompressWanted = false;
  TNntpCli FClient{nullptr};
  bool FDone = false;
  std::uint16_t FError = 0;
};

// The exit code for a request's error, with its message. `expected` is the
// status that announces the data asked for: the client takes any of the
// data codes (and 223, which has no data) for success, but an ARTICLE
// answered 223 has delivered nothing.
int Outcome(TNntpCli& client, std::uint16_t error, TOutputStream& out, std::int32_t expected = 0) {
  if (error == 0 && expected != 0 && client.StatusCode() != expected) {
    out.Flush();
    Say("the server refused: " + client.LastResponse());
    return kExitRefused;
  }
  if (error == 0) {
    if (out.Flush()) return kExitDone;
    error = TNntpCli::kErrorWriteFault;
  }
  if (error == TNntpCli::kErrorWriteFault) {
    Say("cannot write to standard output");
    return kExitLocal;
  }
  if (error == TNntpCli::kErrorLineTooLong) {
    out.Flush();
    Say("the server sent a line longer than " + IntToStr(TNntpCli::kMaxDataLine) + " bytes");
    return kExitRefused;
  }
  if ((error >= 100 && error < 600) || error == nntpErrorNoStatus) {
    Say("the server refused: " + client.LastResponse());
    return kExitRefused;
  }
  out.Flush();
  if (error == kCompressErrorCorrupt) {
    Say("the server's compressed data is corrupt (after " + std::to_string(out.Written()) +
        " bytes of the answer)");
    return kExitNoConnection;
  }
  // What came before the loss is on standard output: say how much, so that
  // it can be told from the whole.
  if (error == nntpErrorInactive) {
    Say("no answer from the server for " + IntToStr(IdleLimitMs(kIdleSeconds * 1000) / 1000) +
        " s (after " + std::to_string(out.Written()) + " bytes of the answer)");
    return kExitNoConnection;
  }
  Say("connection lost after " + std::to_string(out.Written()) + " bytes of the answer (error " +
      IntToStr(error) + ")");
  return kExitNoConnection;
}

// Misuse: what was wrong, then how the program is used.
int Misuse(const std::string& what) {
  Say(what);
  std::fputs("\n", stderr);
  ShowHelp();
  return kExitLocal;
}

int Main(const std::vector<std::string>& args) {
  if (args.empty()) {
    ShowHelp();
    return kExitLocal;
  }
  if (args.size() == 1) return Misuse("a group or a <message-id> must follow the server");
  if (args.size() > 3)
    return Misuse("too many arguments: \"" + args[3] + "\" and after it are not understood");
  const std::string& server = args[0];
  std::optional<TServerAccess> access;
  try {
    access.emplace(server, TLanguage::English);
  } catch (const EServerAccess& e) {
    Say(e.Line().Text());
    return kExitLocal;
  }
  std::string target = args[1];
  bool byId = target.size() > 2 && target.front() == '<' && target.back() == '>';
  // No group name holds an "@": this is a message-id, which the server
  // would take for a group it does not have.
  if (!byId && target.find('@') != std::string::npos) {
    std::string bare = target;
    if (!bare.empty() && bare.front() == '<') bare.erase(0, 1);
    if (!bare.empty() && bare.back() == '>') bare.pop_back();
    return Misuse("\"" + target + "\" is no group name; a message-id goes in angle brackets: \"<" +
                  bare + ">\" (quoted, so that the shell leaves them alone)");
  }
  std::int32_t number = 0;
  if (args.size() == 3) {
    if (byId) return Misuse("a <message-id> takes no article number after it");
    // Articles are numbered from 1; a 0 would ask for the current one.
    if (args[2].empty() || args[2].find_first_not_of("0123456789") != std::string::npos ||
        args[2].size() > 9 || std::stoi(args[2]) < 1) {
      return Misuse("\"" + args[2] + "\" is no article number (a whole number from 1)");
    }
    number = std::stoi(args[2]);
  }

  Fetcher fetcher(*access);
  if (!fetcher.Connect()) {
    std::string reason = plat::StopRequested() ? "interrupted by the user"
                                               : access->ConnectFailure(fetcher.ConnectError());
    Say("no connection to " + server + (reason.empty() ? "" : ": " + reason));
    return kExitNoConnection;
  }
  TNntpCli& client = fetcher.Client();
  TOutputStream out(plat::StandardOutput());
  // Servers that also feed peers answer readers properly only after this;
  // its own answer matters only when it asks for a login.
  std::uint16_t error = fetcher.Run([&] { client.ModeReader(); });
  if (error == 480 || error >= 10000) return Outcome(client, error, out);
  fetcher.MaybeCompress(false);

  if (byId) {
    error = fetcher.Run([&] { client.ArticleByID(target.substr(1, target.size() - 2), &out); });
    return Outcome(client, error, out, kArticleFollows);
  }
  error = fetcher.Run([&] { client.Group(target); });
  if (error != 0) return Outcome(client, error, out);
  if (args.size() == 3) {
    error = fetcher.Run([&] { client.ArticleByNumber(number, &out); });
    return Outcome(client, error, out, kArticleFollows);
  }
  if (client.ArticleEstimated() > 0 && client.ArticleLast() >= client.ArticleFirst()) {
    std::string range = IntToStr(client.ArticleFirst()) + "-" + IntToStr(client.ArticleLast());
    error = fetcher.Run([&] { client.XOver(range, &out); });
    return Outcome(client, error, out, kOverviewFollows);
  }
  return Outcome(client, error, out);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  plat::InstallQuitOnInterrupt();
  Application->ErrorWriter = [](const std::string& text) { Say(text); };
  std::vector<std::string> args(argv + 1, argv + argc);
  return Application->Run([&] {
    try {
      return Main(args);
    } catch (const TlsFailure& e) {
      Say("no TLS connection to " + args[0] + ": " + e.Reason);
      return kExitNoConnection;
    } catch (const Refused& e) {
      Say("the server refused: " + e.Line);
      return kExitRefused;
    }
  });
}
