#include "host/folders.h"

#include "platform/registry.h"
#include "platform/shell.h"

std::string WithTrailingBackslash(const std::string& text) {
  if (text.empty() || text.back() == plat::PathSeparator()) return text;
  return text + plat::PathSeparator();
}

std::string SpecialFolderPath(int csidl) { return plat::SpecialFolder(csidl); }

std::string ReadCurrentVersionValue(const std::string& name) {
  std::string value;
  if (!plat::ReadMachineString("Software\\Microsoft\\Windows\\CurrentVersion", name, &value))
    return "";
  return value;
}

std::string GetTempFolder() {
  std::string path = plat::TempPath();
  return WithTrailingBackslash(path.empty() ? plat::TempFallback() : path);
}

std::string GetWindowsFolder() { return WithTrailingBackslash(plat::WindowsDirectory()); }

std::string GetSystemFolder() { return WithTrailingBackslash(plat::SystemDirectory()); }

std::string GetProgramFilesFolder() {
  std::string path = ReadCurrentVersionValue("ProgramFilesDir");
  if (path.empty()) path = ReadCurrentVersionValue("ProgramFilesPath");
  return WithTrailingBackslash(path.empty() ? plat::ProgramFilesFallback() : path);
}

std::string GetCommonFilesFolder() {
  std::string path = ReadCurrentVersionValue("CommonFilesDir");
  return WithTrailingBackslash(path.empty() ? plat::CommonFilesFallback() : path);
}
