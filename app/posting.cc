#include "app/posting.h"

#include <memory>

#include "app/article.h"
#include "host/console.h"
#include "host/netrc.h"
#include "nntp/NntpCli.h"
#include "platform/codepage.h"
#include "rtl/forms.h"

namespace {

// Waits until the client is ready again or has given up, or the program is
// told to stop. Blocks between events instead of polling.
void WaitForClient(const TNntpCli& client) {
  while (client.State() != nntpReady && client.State() != nntpNotConnected) {
    Application->ProcessMessages();
    if (Application->Terminated()) return;
    if (client.State() == nntpReady || client.State() == nntpNotConnected) return;
    plat::WaitForMessage();
  }
}

// Logs in with the server's entry of the user's netrc file; false when
// there is none, the file is open to others, or the server refuses (its
// line is then in LastResponse). The password is never shown.
bool LogIn(TNntpCli& client, const std::string& server) {
  TNetrcLookup netrc = LookUpNetrc(server);
  if (netrc.OpenToOthers) {
    WriteConsoleLine(AnsiText("Plik ") + plat::ArgumentToAnsi(netrc.Path) +
                     AnsiText(" mogą czytać lub zmieniać inni użytkownicy, więc Kestrun go nie "
                              "używa (chmod 600)"));
    return false;
  }
  if (!netrc.Found) return false;
  client.SetUserName(netrc.Login.Login);
  client.SetPassWord(netrc.Login.Password);
  client.Authenticate();
  WaitForClient(client);
  client.SetPassWord("");
  return client.State() == nntpReady && client.StatusCode() == 281;
}

}  // namespace

void RunPosting(const std::string& server, const std::string& author, const std::string& groups,
                const std::string& subject, const std::string& path, TProductIdentity& identity) {
  // Refused before anything goes on the wire: such a value would add header
  // lines or end the article early.
  CheckHeaderArguments(author, groups, subject);

  // Ends with the process on the error exits, which skip all clean-up.
  auto* client = new TNntpCli(nullptr);
  client->SetHost(server);
  client->Connect();
  WaitForClient(*client);
  if (client->State() != nntpReady) {
    WriteConsoleLine(AnsiText("Połączenie niemożliwe"));
    Halt(2);
  }

  {
    auto article = std::make_unique<TMemoryStream>();
    AssembleArticle(*article, author, groups, subject, path, identity);
    client->Post(article.get());
    WaitForClient(*client);
    // Most public servers want a login before a post and say so with 480.
    if (client->State() == nntpReady && client->StatusCode() == 480 && LogIn(*client, server)) {
      article->SetPosition(0);
      client->Post(article.get());
      WaitForClient(*client);
    }
  }
  if (client->State() != nntpReady || client->StatusCode() != 240) {
    WriteConsoleLine(AnsiText("Błąd serwera:"));
    WriteConsoleLine(client->LastResponse());
    Halt(3);
  }
  client->Abort();
  WriteConsoleLine(AnsiText("Artykuł wysłano"));
  delete client;
  FreeVersionInfo(identity.Block, identity.BlockSize);
  Halt(0);
}
