#include "app/dryrun.h"

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
  TMemoryStream article;
  // The very assembly a posting uses, so that what is shown is what a
  // posting sends: line ends, doubled dots and the header block alike.
  AssembleArticle(article, author, groups, subject, file, identity);
  const char* bytes = article.Memory();
  const auto size = static_cast<std::size_t>(article.Size());
  plat::WriteStdout(bytes, size);
  const std::string marker = TNntpCli::EndMarker(size == 0 || bytes[size - 1] == '\n');
  plat::WriteStdout(marker.data(), marker.size());
  FreeVersionInfo(identity.Block, identity.BlockSize);
  Halt(0);
}
