#include "platform/shell.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/codepage.h"

namespace plat {
namespace {

std::string HomeFolder() {
  const char* env = std::getenv("HOME");
  passwd* pw = env != nullptr && *env != '\0' ? nullptr : getpwuid(getuid());
  std::string home = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir
                     : env != nullptr                       ? env
                                                            : "";
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The desktop as the XDG user-dirs file names it: a line
// XDG_DESKTOP_DIR="$HOME/Desktop" or an absolute path in double quotes.
std::string XdgDesktop(const std::string& home) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string dir = config != nullptr && *config == '/' ? config : home + "/.config";
  std::ifstream in(dir + "/user-dirs.dirs");
  std::string line, found;
  while (std::getline(in, line)) {
    std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line.compare(b, 16, "XDG_DESKTOP_DIR=") != 0) continue;
    std::string v = line.substr(b + 16);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.pop_back();
    if (v.size() < 2 || v.front() != '"' || v.back() != '"') continue;
    std::string raw = v.substr(1, v.size() - 2), value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
      value += raw[i];
    }
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
      value = home + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;
    }
    found = value;  // the last assignment wins, as in the shell
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  return found;
}

std::string AnsiToUtf8(const std::string& text) { return ConvertCodePage(text, kCpAcp, kCpUtf8); }

// The escapes of a desktop entry's string values.
std::string EscapeValue(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One argument of Exec: quoted when it holds a reserved character, with
// ", `, $ and \ escaped inside the quotes; a literal % is doubled.
std::string ExecArgument(const std::string& arg) {
  static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  bool quote =
      arg.empty() || arg.find_first_of(kReserved, 0, sizeof kReserved - 1) != std::string::npos;
  std::string out = quote ? "\"" : "";
  for (char c : arg) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
    if (c == '%') out += '%';
  }
  if (quote) out += '"';
  return out;
}

// The arguments text split as a Windows command line is: blanks separate,
// double quotes group.
std::string ExecArguments(const std::string& text) {
  std::string out, cur;
  bool inQuotes = false, have = false;
  auto flush = [&] {
    if (have) out += " " + ExecArgument(cur);
    cur.clear();
    have = false;
  };
  for (char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      flush();
    } else {
      cur += c;
      have = true;
    }
  }
  flush();
  return out;
}

// Whether the bytes are UTF-8 (surrogates and overlong three- and four-byte
// forms are not told apart; no file name holds them by accident).
bool IsUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t more = c < 0x80                 ? 0
                       : c >= 0xC2 && c <= 0xDF ? 1
                       : c >= 0xE0 && c <= 0xEF ? 2
                       : c >= 0xF0 && c <= 0xF4 ? 3
                                                : 4;
    if (more == 4 || (more > 0 && i + more >= s.size())) return false;
    for (std::size_t k = 1; k <= more; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += more + 1;
  }
  return true;
}

// A shell expression that yields `bytes` exactly: printf with every byte
// outside a plain set written as an octal escape, and a guard character
// that keeps command substitution from eating trailing line feeds.
std::string ShellBytes(const std::string& bytes, const char* name) {
  std::string format;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::strchr("/._-+,:@", c) != nullptr) {
      format += ch;
    } else {
      char oct[8];
      std::snprintf(oct, sizeof oct, "\\%03o", c);
      format += oct;
    }
  }
  return std::string(name) + "=$(printf '" + format + "x'); ";
}

}  // namespace

std::string SpecialFolder(int csidl) {
  if (csidl != kCsidlDesktop) return "";
  std::string home = HomeFolder();
  if (home.empty()) return "";
  std::string desktop = XdgDesktop(home);
  if (desktop.empty()) desktop = home + "/Desktop";
  return IsFolder(desktop) ? desktop : "";
}

std::string TempPath() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr ? tmp : "";
}

std::string WindowsDirectory() { return "/usr"; }
std::string SystemDirectory() { return "/usr/lib"; }

const char* TempFallback() { return "/tmp/"; }
const char* ProgramFilesFallback() { return "/opt"; }
const char* CommonFilesFallback() { return "/opt/lib"; }

char PathSeparator() { return '/'; }

const char* ShellLinkExtension() { return ".desktop"; }

// A desktop entry that starts the program in a terminal. It is written to a
// temporary file beside its place and renamed over it, so a desktop that
// watches the folder never reads half a file.
LinkResult SaveShellLink(const std::string& folder, const std::string& name,
                         const std::string& target, const std::string& arguments,
                         const std::string& workingDir, long* error) {
  *error = 0;
  std::string title = AnsiToUtf8(name);
  std::string linkFile = folder + title + ShellLinkExtension();
  std::string entry = "[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + EscapeValue(title);
  if (IsUtf8(target) && IsUtf8(workingDir)) {
    entry += "\nExec=" + EscapeValue(ExecArgument(target) + ExecArguments(arguments)) +
             "\nPath=" + EscapeValue(workingDir);
  } else {
    // A desktop entry is UTF-8 text and has no escape for other bytes, and
    // converting a file name from a guessed encoding would name another
    // file. So the names go in as the octal escapes of printf and a shell
    // turns them back into the very bytes, changes into the folder itself
    // and starts the program: the entry stays valid and the shortcut works.
    std::string script = ShellBytes(workingDir, "d") + ShellBytes(target, "t") +
                         "cd \"${d%x}\" && exec \"${t%x}\" \"$@\"";
    entry += "\nExec=" + EscapeValue(ExecArgument("/bin/sh") + " -c " + ExecArgument(script) +
                                     " sh" + ExecArguments(arguments));
  }
  entry += "\nTerminal=true\n";
  std::string temp = linkFile + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return LinkResult::kNotSaved;
  bool ok = fchmod(fd, 0755) == 0;
  std::size_t done = 0;
  while (ok && done < entry.size()) {
    ssize_t n = write(fd, entry.data() + done, entry.size() - done);
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  ok = close(fd) == 0 && ok;
  if (ok) ok = std::rename(temp.c_str(), linkFile.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok ? LinkResult::kSaved : LinkResult::kNotSaved;
}

}  // namespace plat
