// Helpers for the integration tests.
//   tools folders        prints the well-known folders, one a line
//   tools link FILE      prints the path, arguments and working folder of a
//                        shell link, one a line (Windows only)
#include <cstdio>
#include <string>

#include "host/folders.h"
#include "platform/testsupport.h"

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "folders") {
    for (const std::string& f : {GetTempFolder(), GetWindowsFolder(), GetSystemFolder(),
                                 GetProgramFilesFolder(), GetCommonFilesFolder()})
      std::printf("%s\n", f.c_str());
    return 0;
  }
  if (what == "link" && argc > 2) {
    plat::testing::ShellLinkInfo info;
    if (!plat::testing::ReadShellLink(argv[2], &info)) return 1;
    std::printf("%s\n%s\n%s\n", info.path.c_str(), info.arguments.c_str(), info.workingDir.c_str());
    return 0;
  }
  return 2;
}
