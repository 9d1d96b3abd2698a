#include "rtl/filectrl.h"

#include <cstring>

#include "platform/files.h"
#include "platform/filesys.h"
#include "platform/shell.h"
#include "rtl/sysutils.h"

namespace {

bool IsSeparator(char c) { return c == plat::PathSeparator() || c == '/'; }

}  // namespace

std::string ExtractFilePath(const std::string& path) {
  std::size_t p = path.find_last_of(plat::PathDelimiters());
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

bool DirectoryExists(const std::string& path) { return plat::DirectoryExists(path); }

bool ForceDirectories(const std::string& path) {
  if (path.empty()) throw Exception("Unable to create directory");
  std::string dir = path;
  while (dir.size() > 1 && IsSeparator(dir.back())) dir.pop_back();
  if (plat::DirectoryExists(dir)) return true;
  std::string parent = ExtractFilePath(dir);
  while (parent.size() > 1 && IsSeparator(parent.back())) parent.pop_back();
  // A drive ("C:") or the root ends the climb; its existence is the system's word.
  bool top = parent.empty() || parent == dir || parent.back() == ':';
  if (!top && !ForceDirectories(parent)) return false;
  return plat::CreateDir(dir) || plat::DirectoryExists(dir);
}

std::string IncludeTrailingSeparator(const std::string& path) {
  if (path.empty() || path.back() == plat::PathSeparator()) return path;
  return path + plat::PathSeparator();
}
