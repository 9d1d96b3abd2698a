#include "host/console.h"

#include "platform/codepage.h"
#include "platform/console.h"

std::u16string TextToWide(const std::string& text, unsigned codePage) {
  int n = plat::MultiByteToWide(codePage, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string wide(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0)
    plat::MultiByteToWide(codePage, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string ConvertCodePage(const std::string& text, unsigned sourceCodePage,
                            unsigned targetCodePage) {
  return plat::ConvertCodePage(text, sourceCodePage, targetCodePage);
}

namespace {

// The code page the program's own texts are held in.
constexpr unsigned kTextCodePage = 1250;

}  // namespace

std::string AnsiText(const std::string& utf8) {
  return ConvertCodePage(utf8, plat::kCpUtf8, kTextCodePage);
}

std::string ConsoleText(const std::string& text) {
  return ConvertCodePage(text, kTextCodePage, plat::kCpOemCp);
}

void WriteConsoleLine(const std::string& text) {
  std::string line = ConsoleText(text) + plat::LineEnd();
  plat::WriteStdout(line.data(), line.size());
}

void WriteConsoleErrorLine(const std::string& text) {
  std::string line = ConsoleText(text) + plat::LineEnd();
  plat::WriteStderr(line.data(), line.size());
}

std::string ArgumentToConsole(const std::string& argument) {
  // Windows hands a program its arguments in the ANSI code page, POSIX in
  // the locale's encoding, which is the console's. ArgumentToAnsi tells the
  // two apart: where it changes nothing, the argument is ANSI text already
  // (or plain ASCII) and is converted like the program's own texts;
  // otherwise it is in the console's encoding and is shown unchanged, so
  // that no character is lost to the ANSI code page.
  if (plat::ArgumentToAnsi(argument) == argument) {
    return ConvertCodePage(argument, plat::kCpAcp, plat::kCpOemCp);
  }
  return argument;
}

void WriteConsoleLineWith(const std::string& text, const std::string& argument) {
  std::size_t at = text.find("%s");
  std::string line;
  if (at == std::string::npos) {
    line = ConsoleText(text);
  } else {
    line = ConsoleText(text.substr(0, at)) + ArgumentToConsole(argument) +
           ConsoleText(text.substr(at + 2));
  }
  line += plat::LineEnd();
  plat::WriteStdout(line.data(), line.size());
}
