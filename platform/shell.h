// The shell's side of the host: well-known folders and shortcut files.
#pragma once

#include <string>

namespace plat {

// Special-folder identifier of the user's desktop.
constexpr int kCsidlDesktop = 0;

// The folder of a special-folder identifier, without a trailing separator.
// Empty when the system cannot name it; on POSIX also when the desktop folder
// does not exist, because nothing is to be written there then.
std::string SpecialFolder(int csidl);

// The temporary folder as the system reports it (with its trailing
// separator), the Windows folder and the system folder; empty when the
// system gives nothing.
std::string TempPath();
std::string WindowsDirectory();
std::string SystemDirectory();

// What the folder lookups fall back on when the system gives nothing.
const char* TempFallback();
const char* ProgramFilesFallback();
const char* CommonFilesFallback();

// The character that ends a folder in a path ('\\' on Windows, '/' on POSIX).
char PathSeparator();

enum class LinkResult { kSaved, kNotSaved, kNoLinkObject };

// The file name extension of a shortcut file (".lnk" or ".desktop").
const char* ShellLinkExtension();
// Writes (or replaces) the shortcut `folder` + separator + `name` + the
// extension, which starts `target` with `arguments` in `workingDir`. `folder`
// ends with a separator; `name` is in the program's ANSI code page (on POSIX
// it is converted to UTF-8 for the file name and the entry's title).
// kNoLinkObject when the shell-link object cannot be had at all; `error` then
// holds the system's error code.
LinkResult SaveShellLink(const std::string& folder, const std::string& name,
                         const std::string& target, const std::string& arguments,
                         const std::string& workingDir, long* error);

}  // namespace plat
