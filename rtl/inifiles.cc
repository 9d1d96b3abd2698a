#include "rtl/inifiles.h"

#include <cstdlib>

#include "platform/filesys.h"
#include "rtl/sysutils.h"

namespace {

bool IsHeader(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  if (name != nullptr) *name = Trim(t.substr(1, close - 1));
  return true;
}

bool IsComment(const std::string& line) {
  std::string t = Trim(line);
  return !t.empty() && (t[0] == ';' || t[0] == '#');
}

// The key of a "key=value" line; false for anything else.
bool KeyOf(const std::string& line, std::string* key) {
  if (IsComment(line)) return false;
  std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  return !key->empty();
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName) {
  if (!plat::FileExists(fileName)) return;
  TStringList lines;
  try {
    lines.LoadFromFile(fileName);
    FExisted = true;
  } catch (const EStreamError&) {
    FUnreadable = true;  // reads as an empty one
    return;
  }
  for (int i = 0; i < lines.Count(); ++i) FLines.push_back(lines[i]);
}

int TIniFile::FindSection(const std::string& section) const {
  std::string name;
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    if (IsHeader(FLines[i], &name) && AnsiSameText(name, section)) return static_cast<int>(i);
  }
  return -1;
}

int TIniFile::FindKey(int header, const std::string& ident) const {
  std::string key;
  for (std::size_t i = static_cast<std::size_t>(header) + 1; i < FLines.size(); ++i) {
    if (IsHeader(FLines[i], nullptr)) break;
    if (KeyOf(FLines[i], &key) && AnsiSameText(key, ident)) return static_cast<int>(i);
  }
  return -1;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  int header = FindSection(section);
  return header >= 0 && FindKey(header, ident) >= 0;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& defaultValue) const {
  int header = FindSection(section);
  int line = header < 0 ? -1 : FindKey(header, ident);
  if (line < 0) return defaultValue;
  const std::string& text = FLines[static_cast<std::size_t>(line)];
  return Trim(text.substr(text.find('=') + 1));
}

std::int64_t TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                   std::int64_t defaultValue) const {
  std::string text = ReadString(section, ident, "");
  if (text.empty()) return defaultValue;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' ? v : defaultValue;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
  int header = FindSection(section);
  if (header < 0) {
    if (!FLines.empty() && !Trim(FLines.back()).empty()) FLines.emplace_back();
    FLines.push_back("[" + section + "]");
    FLines.push_back(ident + "=" + value);
    FModified = true;
    return;
  }
  int line = FindKey(header, ident);
  if (line >= 0) {
    std::string& text = FLines[static_cast<std::size_t>(line)];
    const std::size_t eq = text.find('=');
    // The same value again leaves the line as it was written, blanks and all.
    if (Trim(text.substr(eq + 1)) == value) return;
    text = text.substr(0, eq + 1) + value;
    FModified = true;
    return;
  }
  // After the section's last key, before any blank lines or comments that
  // separate it from the next section.
  std::size_t at = static_cast<std::size_t>(header) + 1;
  std::string key;
  for (std::size_t i = at; i < FLines.size() && !IsHeader(FLines[i], nullptr); ++i) {
    if (KeyOf(FLines[i], &key)) at = i + 1;
  }
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), ident + "=" + value);
  FModified = true;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident,
                            std::int64_t value) {
  WriteString(section, ident, IntToStr(value));
}

std::string TIniFile::Text() const {
  std::string text;
  for (const std::string& line : FLines) text += line + "\r\n";
  return text;
}

bool TIniFile::UpdateFile() {
  if (FUnreadable) return false;
  if (!Changed()) return true;
  const std::string text = Text();
  try {
    TFileStream out(FFileName, fmCreate);
    out.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
  } catch (const EStreamError&) {
    return false;
  }
  FExisted = true;
  FModified = false;
  return true;
}
