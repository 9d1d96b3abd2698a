#include "platform/cmdline.h"

#include "platform/win32/win.h"
// After <windows.h>, which it needs.
#include <shellapi.h>

namespace plat {
namespace {

// UTF-16 to UTF-8; a lone surrogate is no character and gives nullopt.
std::optional<std::string> ToUtf8(const wchar_t* wide) {
  int length = lstrlenW(wide);
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, length, out.data(), n, nullptr, nullptr);
  return out;
}

// An ANSI argument in UTF-8: what the ANSI code page kept of it.
std::string AnsiToUtf8(const char* ansi) {
  int length = lstrlenA(ansi);
  if (length == 0) return std::string();
  int n = MultiByteToWideChar(CP_ACP, 0, ansi, length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi, length, wide.data(), n);
  return ToUtf8(wide.c_str()).value_or(std::string());
}

}  // namespace

std::vector<std::optional<std::string>> ArgumentsAsUtf8(int argc, char** argv) {
  std::vector<std::optional<std::string>> out;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr && count == argc) {
    for (int i = 1; i < count; ++i) out.push_back(ToUtf8(wide[i]));
  } else {
    // The runtime split the line otherwise than the shell function: the
    // ANSI arguments are the only ones known to match what main got.
    for (int i = 1; i < argc; ++i) out.emplace_back(AnsiToUtf8(argv[i]));
  }
  if (wide != nullptr) LocalFree(wide);
  return out;
}

}  // namespace plat
