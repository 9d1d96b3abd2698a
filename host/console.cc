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

namespace {

// One line to standard output or error: as characters where the stream is a
// console that takes them (the program's text, Windows-1250, and an
// argument in the ANSI code page, each read in its own code page), else as
// the bytes of the console's code page, as before.
void WriteLineTo(bool toStderr, const std::string& text, const std::string* argument = nullptr) {
  const std::size_t at = argument != nullptr ? text.find("%s") : std::string::npos;
  const std::string head = at == std::string::npos ? text : text.substr(0, at);
  const std::string tail = at == std::string::npos ? std::string() : text.substr(at + 2);
  std::u16string chars = TextToWide(head, kTextCodePage);
  if (at != std::string::npos) {
    chars += TextToWide(
        *argument, plat::ArgumentToAnsi(*argument) == *argument ? plat::kCpAcp : plat::kCpUtf8);
    chars += TextToWide(tail, kTextCodePage);
  }
  chars += TextToWide(plat::LineEnd(), kTextCodePage);
  if (toStderr ? plat::WriteStderrChars(chars) : plat::WriteStdoutChars(chars)) return;
  std::string line = ConsoleText(head);
  if (at != std::string::npos) line += ArgumentToConsole(*argument) + ConsoleText(tail);
  line += plat::LineEnd();
  if (toStderr) {
    plat::WriteStderr(line.data(), line.size());
  } else {
    plat::WriteStdout(line.data(), line.size());
  }
}

}  // namespace

void WriteConsoleLine(const std::string& text) { WriteLineTo(false, text); }

void WriteConsoleErrorLine(const std::string& text) { WriteLineTo(true, text); }

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
  WriteLineTo(false, text, &argument);
}

void WriteConsoleErrorLineWith(const std::string& text, const std::string& argument) {
  WriteLineTo(true, text, &argument);
}
