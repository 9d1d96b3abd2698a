// The system's well-known folders, each with a trailing folder separator (a
// backslash on Windows, "/" on Linux). On Linux they are fixed places that
// keep the Windows nesting: the system folder inside the Windows folder
// (/usr/lib inside /usr), the common-files folder inside the program-files
// folder (/opt/lib inside /opt).
#pragma once

#include <string>

// The text with the separator appended, unless it is empty or ends with one.
std::string WithTrailingBackslash(const std::string& text);
// The folder of a special-folder identifier, without a trailing separator;
// empty when it cannot be found.
std::string SpecialFolderPath(int csidl);
// A string value of the system's current-version key, or empty.
std::string ReadCurrentVersionValue(const std::string& name);

std::string GetTempFolder();
std::string GetWindowsFolder();
std::string GetSystemFolder();
std::string GetProgramFilesFolder();
std::string GetCommonFilesFolder();
