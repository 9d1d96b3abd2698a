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
#include <string>
#include <vector>

#include "host/cafile.h"
#include "host/compress.h"
#include "host/netrc.h"
#include "net/WSockLib.h"
#include "nntp/NntpCli.h"
#include "nntp/NntpServer.h"
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
// client's request with its write error.
class TOutputStream : public TStream {
 public:
  explicit TOutputStream(plat::FileHandle handle) : FHandle(handle) { FBuffer.reserve(kSize); }
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    if (FFailed) return 0;
    auto size = static_cast<std::size_t>(count);
    if (FBuffer.size() + size > kSize && !Flush()) return 0;
    if (size >= kSize) {
      // Too large to gather: straight out, and counted all the same.
      if (!WriteAll(static_cast<const char*>(buffer), size)) return 0;
    } else {
      FBuffer.append(static_cast<const char*>(buffer), size);
    }
    FWritten += count;
    return count;
  }
  // Bytes taken so far: the stream's position and size.
  std::int64_t Seek(std::int64_t, int) override { return FWritten; }
  bool Flush() {
    if (FFailed) return false;
    bool ok = WriteAll(FBuffer.data(), FBuffer.size());
    FBuffer.clear();
    return ok;
  }
  bool Failed() const { return FFailed; }
  std::int64_t Written() const { return FWritten; }

 private:
  static constexpr std::size_t kSize = 64 * 1024;
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
  std::string FBuffer;
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

// Why TLS failed, for the messages; empty when `error` is no TLS failure.
std::string TlsReason(std::uint16_t error) {
  if (error < kTlsErrorHandshake || error > kTlsErrorCaFile) return std::string();
  return SocketErrorText(error);
}

class Fetcher {
 public:
  explicit Fetcher(const TNntpServerName& server, const std::string& caFile)
      : FServer(server.Host) {
    FClient.SetHost(server.Host);
    FClient.SetPort(server.Port);
    FClient.SetTls(server.Tls);
    FClient.SetTlsCaFile(caFile);
    // A server that falls silent ends the run rather than holding it.
    FClient.SetInactivityTimeout(5 * 60 * 1000);
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
    FCompressWanted = CompressWanted(FClient.WSocket()->PeerAddr(), true);
    return true;
  }

  // Compresses the rest of the session when that is wanted and the server
  // offers it. Before a login only when no password could follow inside the
  // compressed stream (compression before authentication helps an attacker
  // guess it): the netrc file has no login for the server, or the server
  // offers no way to log in (neither AUTHINFO USER nor STARTTLS).
  void MaybeCompress(bool loggedIn) {
    if (!FCompressWanted || FClient.CompressActive() || FClient.State() != nntpReady) return;
    if (RunOnce([this] { FClient.Capabilities(); }) != 0 || !FClient.CompressOffered()) return;
    if (!loggedIn && FClient.LoginMayFollow() && LookUpNetrc(FServer).Found) return;
    std::uint16_t error = RunOnce([this] { FClient.Compress(); });
    if (error >= 100 && error < 600)
      Say("the server refused COMPRESS: " + FClient.LastResponse() + "; reading uncompressed");
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
    if (!FDone) throw Exception("interrupted");
    return FError;
  }

  bool LogIn() {
    TNetrcLookup netrc = LookUpNetrc(FServer);
    switch (netrc.Refusal) {
      case TNetrcRefusal::kNone:
        break;
      case TNetrcRefusal::kOpenToOthers:
        Say(netrc.Path + " can be read or changed by other users; not using it (chmod 600 " +
            netrc.Path + ")");
        return false;
      case TNetrcRefusal::kNotAFile:
        Say(netrc.Path + " is not a regular file; not using it");
        return false;
      case TNetrcRefusal::kTooLarge:
        Say(netrc.Path + " is larger than 1 MB; not using it");
        return false;
      case TNetrcRefusal::kLineBreak:
        Say(netrc.Path + " has a line break in this server's login or password; not using it");
        return false;
    }
    if (!netrc.Found) return false;
    const std::string refusal = FClient.LastResponse();
    if (FClient.CompressActive()) {
      // Compressed with the password, it could be guessed from the sizes.
      Say("the server wants a login after compression started: the password is not sent");
      throw Refused{refusal};
    }
    const bool inTls = SecureBeforeLogin();
    if (FClient.State() != nntpReady) return false;
    if (!inTls && !PlainLoginAllowed()) {
      Say("the server offers no encryption (STARTTLS): the password is not sent in clear (set " +
          std::string(kPlainLoginVariable) + "=1 to allow it)");
      throw Refused{refusal};
    }
    FClient.SetUserName(netrc.Login.Login);
    FClient.SetPassWord(netrc.Login.Password);
    std::uint16_t error = RunOnce([this] { FClient.Authenticate(); });
    FClient.SetPassWord("");
    // 281 comes as an error only from the user name step: the server needs
    // no password for this user.
    if (error != 0 && error != 281) return false;
    MaybeCompress(true);
    return FClient.State() == nntpReady;
  }

  // A server that offers STARTTLS gets the password inside TLS only;
  // whatever stops the upgrade ends the run (TlsFailure). Whether TLS now
  // carries the connection.
  bool SecureBeforeLogin() {
    if (FClient.WSocket()->TlsActive()) return true;
    if (RunOnce([this] { FClient.Capabilities(); }) != 0) return false;
    if (!FClient.HasCapability("STARTTLS")) return false;
    std::uint16_t error = RunOnce([this] { FClient.StartTls(); });
    if (error == 0) return true;
    std::string reason = TlsReason(error);
    if (reason.empty() && error >= 100 && error < 600) {
      reason = "the server refused STARTTLS: " + FClient.LastResponse();
    } else if (reason.empty()) {
      reason = "STARTTLS failed (error " + IntToStr(error) + ")";
    }
    throw TlsFailure{reason};
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

  std::string FServer;
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
  Say("connection lost after " + std::to_string(out.Written()) + " bytes of the answer (error " +
      IntToStr(error) + ")");
  return kExitNoConnection;
}

int Main(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) {
    ShowHelp();
    return kExitLocal;
  }
  const std::string& server = args[0];
  TNntpServerName name;
  TNntpServerNameError nameError = ParseNntpServerName(server, name);
  if (nameError != TNntpServerNameError::None) {
    Say("bad server \"" + server + "\": " + NntpServerNameErrorText(nameError));
    return kExitLocal;
  }
  std::string caFile;
  switch (CaFileFromEnvironment(caFile)) {
    case TCaFileSetting::Unreadable:
      Say(std::string(kCaFileVariable) + ": cannot read \"" + caFile + "\"");
      return kExitLocal;
    case TCaFileSetting::NoCertificates:
      Say(std::string(kCaFileVariable) + ": no PEM certificate in \"" + caFile + "\"");
      return kExitLocal;
    case TCaFileSetting::Usable:
    case TCaFileSetting::Unset:
      break;
  }
  std::string target = args[1];
  bool byId = target.size() > 2 && target.front() == '<' && target.back() == '>';
  std::int32_t number = 0;
  if (args.size() == 3) {
    // Articles are numbered from 1; a 0 would ask for the current one.
    if (byId || args[2].empty() || args[2].find_first_not_of("0123456789") != std::string::npos ||
        args[2].size() > 9 || std::stoi(args[2]) < 1) {
      ShowHelp();
      return kExitLocal;
    }
    number = std::stoi(args[2]);
  }

  Fetcher fetcher(name, caFile);
  if (!fetcher.Connect()) {
    std::string reason = TlsReason(fetcher.ConnectError());
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
