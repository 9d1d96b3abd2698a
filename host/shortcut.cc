#include "host/shortcut.h"

#include "host/folders.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "rtl/filectrl.h"
#include "rtl/sysutils.h"

void CreateDesktopShortcut(const std::string& linkName) {
  CreateFolderShortcut(plat::kCsidlDesktop, plat::ModuleFileName(), linkName, "");
}

void CreateFolderShortcut(int csidl, const std::string& target, const std::string& linkName,
                          const std::string& arguments) {
  std::string folder = SpecialFolderPath(csidl);
  // Without a folder the link would land at the root of the drive.
  if (folder.empty()) return;
  WriteShellLink(folder, target, linkName, arguments);
}

void WriteShellLink(const std::string& folder, const std::string& target,
                    const std::string& linkName, const std::string& arguments) {
  std::string name = linkName;
  // The link name is program text; the file name of the target is the
  // system's, so it is brought into the program's code page first.
  if (name.empty()) name = plat::ArgumentToAnsi(ChangeFileExt(ExtractFileName(target), ""));
  long error = 0;
  plat::LinkResult r = plat::SaveShellLink(WithTrailingBackslash(folder), name, target, arguments,
                                           ExtractFilePath(target), &error);
  if (r == plat::LinkResult::kNoLinkObject)
    throw Exception(Format("OLE error %08lX", static_cast<unsigned long>(error)));
}
