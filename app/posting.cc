#include "app/posting.h"

#include <memory>

#include "app/article.h"
#include "app/socksurl.h"
#include "host/console.h"
#include "nntp/NntpCli.h"
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

}  // namespace

void RunPosting(const std::string& server, const std::string& author, const std::string& groups,
                const std::string& subject, const std::string& path, TProductIdentity& identity) {
  // Refused before anything goes on the wire: such a value would add header
  // lines or end the article early.
  CheckHeaderArguments(author, groups, subject);
  TSocksUrl socks;
  bool viaSocks = SocksFromEnvironment(socks);  // a bad value ends the run here

  // Ends with the process on the error exits, which skip all clean-up.
  auto* client = new TNntpCli(nullptr);
  client->SetHost(server);
  if (viaSocks) UseSocks(*client->WSocket(), socks);
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
