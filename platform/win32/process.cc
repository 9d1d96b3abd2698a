#include "platform/process.h"

#include <stdlib.h>

#include "platform/win32/win.h"

namespace plat {

// Both paths are quoted: where 8.3 names are switched off the short form of a
// path keeps its blanks.
bool RunCompressor(const std::string& source, const std::string& target, std::uint32_t* exitCode) {
  *exitCode = 0;
  std::string commandLine = "compress \"" + source + "\" \"" + target + "\"";
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi))
    return false;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(pi.hProcess, &code)) code = 0xFFFFFFFF;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  *exitCode = code;
  return true;
}

// The runtime has split the command line by the system's rules already.
std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) args.emplace_back(__argv[i]);
  return args;
}

}  // namespace plat
