// Shortcuts to the program: a shell link (.lnk) on Windows, a desktop entry
// (.desktop) on Linux.
#pragma once

#include <string>

// A shortcut to the running executable on the user's desktop, named
// `linkName`. Failures are silent; only a missing shell-link object raises.
void CreateDesktopShortcut(const std::string& linkName);
// A shortcut in a special folder; nothing is written when the folder cannot
// be found.
void CreateFolderShortcut(int csidl, const std::string& target, const std::string& linkName,
                          const std::string& arguments);
// Writes `folder` + separator + `linkName` + the shortcut extension, which
// starts `target` with `arguments` in the target's folder. An empty link name
// is replaced by the target's base name, so the file is never a hidden one.
void WriteShellLink(const std::string& folder, const std::string& target,
                    const std::string& linkName, const std::string& arguments);
