// kestrun: posts a text file as a Usenet article.
//
//   kestrun server author groups subject file
#include <clocale>
#include <string>
#include <vector>

#include "app/help.h"
#include "app/posting.h"
#include "app/switches.h"
#include "host/console.h"
#include "host/version.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/forms.h"
#include "rtl/sysutils.h"

namespace {

int Main(const std::vector<std::string>& args) {
  TProductIdentity identity;
  std::string exePath = plat::ModuleFileName();
  ReadVersionInfo(exePath, identity);

  std::string first = args.empty() ? std::string() : args[0];
  if (HandleSwitch(first, identity)) {
    FreeVersionInfo(identity.Block, identity.BlockSize);
    return 0;
  }
  if (args.size() < 5) {
    ShowHelp(identity, exePath, first);
    Halt(1);
  }
  // The header values as the program's own text; the path stays as given.
  RunPosting(args[0], plat::ArgumentToAnsi(args[1]), plat::ArgumentToAnsi(args[2]),
             plat::ArgumentToAnsi(args[3]), args[4], identity);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  plat::InstallQuitOnInterrupt();
  Application->ErrorWriter = WriteConsoleLine;
  std::vector<std::string> args(argv + 1, argv + argc);
  return Application->Run([&] { return Main(args); });
}
