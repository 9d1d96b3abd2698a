// kestrun: posts a text file as a Usenet article.
//
//   kestrun server author groups subject file
#include <clocale>
#include <optional>
#include <string>
#include <vector>

#include "app/help.h"
#include "app/posting.h"
#include "app/switches.h"
#include "host/console.h"
#include "host/version.h"
#include "platform/cmdline.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/forms.h"
#include "rtl/sysutils.h"

namespace {

using TArguments = std::vector<std::optional<std::string>>;

// Refuses, with the parameter's name, what cannot be posted at all: an
// empty server name, and a header argument that is no text in the
// console's encoding (no character may be guessed in its place).
void CheckArguments(const std::vector<std::string>& args, const TArguments& text) {
  if (Trim(args[0]).empty()) {
    WriteConsoleLine(AnsiText("Brak nazwy serwera w parametrze: serwer"));
    Halt(1);
  }
  const char* const names[] = {"autor", "grupy", "temat"};
  for (std::size_t i = 1; i <= 3; ++i) {
    if (!text[i]) {
      WriteConsoleLine(
          AnsiText(std::string("Bajty spoza kodowania konsoli w parametrze: ") + names[i - 1]));
      Halt(1);
    }
  }
}

int Main(const std::vector<std::string>& args, const TArguments& text) {
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
  CheckArguments(args, text);
  // The header values as every character the user typed (UTF-8); the server
  // and the path stay the bytes the system gave.
  RunPosting(args[0], *text[1], *text[2], *text[3], args[4], identity);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  plat::InstallQuitOnInterrupt();
  Application->ErrorWriter = WriteConsoleLine;
  std::vector<std::string> args(argv + 1, argv + argc);
  TArguments text = plat::ArgumentsAsUtf8(argc, argv);
  return Application->Run([&] { return Main(args, text); });
}
