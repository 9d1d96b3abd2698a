#include "app/dryrun.h"

#include <vector>

#include "app/articlesource.h"
#include "nntp/NntpCli.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/userenv.h"
#include "rtl/forms.h"

bool DryRunWanted() {
  std::string value;
  return plat::GetEnvironment("KESTRUN_DRY_RUN", value) && value == "1";
}

void ShowDryRun(const std::string& author, const std::string& groups, const std::string& subject,
                TArticleFile& file, TProductIdentity& identity) {
  // The very source a posting reads, so that what is shown is what a
  // posting sends: line ends, doubled dots and the header block alike, in
  // blocks as they would go out. No server recommends an identifier here,
  // so the one shown is one of our own, as for a server that names none.
  TArticleSource article(file, author, groups, subject, identity);
  article.SetMessageID(GenerateMessageID());
  std::vector<char> block(TArticleFile::kBlockSize);
  bool atLineStart = true;
  for (;;) {
    const std::int32_t n = article.Read(block.data(), static_cast<std::int32_t>(block.size()));
    if (n < 0) {
      if (article.Failure()) throw *article.Failure();
      throw EArticleStopped();
    }
    if (n == 0) break;
    plat::WriteStdout(block.data(), static_cast<std::size_t>(n));
    atLineStart = block[static_cast<std::size_t>(n) - 1] == '\n';
  }
  const std::string marker = TNntpCli::EndMarker(atLineStart);
  plat::WriteStdout(marker.data(), marker.size());
  FreeVersionInfo(identity.Block, identity.BlockSize);
  Halt(0);
}
