#include "platform/process.h"

#include <stdlib.h>

#include "platform/win32/win.h"

namespace plat {

// Both paths are quoted: where 8.3 names are switched off the short form of a
// path keeps its blanks.
bool RunCompressor(const std::string& source, const std::string& target, std::uint32_t* exitCode,
                   const std::function<bool()>& stopRequested) {
  *exitCode = 0;
  std::string commandLine = "compress \"" + source + "\" \"" + target + "\"";
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi))
    return false;
  if (!stopRequested) {
    WaitForSingleObject(pi.hProcess, INFINITE);
  } else {
    // The tool has a console of its own, so Ctrl-C reaches only this
    // program, whose handler posts to the thread's queue: the wait ends on a
    // message as well, and the slices cover a stop that posts nothing.
    while (MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 250, QS_ALLPOSTMESSAGE) !=
           WAIT_OBJECT_0) {
      if (stopRequested()) {
        TerminateProcess(pi.hProcess, ERROR_OPERATION_ABORTED);
        WaitForSingleObject(pi.hProcess, INFINITE);
        break;
      }
    }
  }
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
