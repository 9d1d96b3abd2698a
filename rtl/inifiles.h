// INI files read and written by the program itself, so that both programs
// produce the same bytes.
//
// The file is loaded whole when the object is made and written back by
// UpdateFile. What the file holds is kept: its lines, their order, comments
// and blank lines. A value that changes is replaced in its own line; a new
// key goes after the last key of its section; a new section goes at the end
// of the file, after one empty line. Section and key names match without
// regard to letter case. Every line is written with CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/classes.h"

class TIniFile : public TObject {
 public:
  explicit TIniFile(const std::string& fileName);

  const std::string& FileName() const { return FFileName; }
  bool ValueExists(const std::string& section, const std::string& ident) const;
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& defaultValue) const;
  // The value as a decimal number; `defaultValue` when it is missing or no
  // number.
  std::int64_t ReadInteger(const std::string& section, const std::string& ident,
                           std::int64_t defaultValue) const;
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& ident, std::int64_t value);

  // The file is there but could not be read: it reads as empty, and
  // UpdateFile leaves it alone rather than replace what it holds.
  bool Unreadable() const { return FUnreadable; }
  // Whether the file is new or something changed, and its text as
  // UpdateFile would write it, for a caller that writes it its own way.
  bool Changed() const { return !FExisted || FModified; }
  std::string Text() const;

  // Writes the file when it is new or something changed; false when it
  // cannot be written whole, or was unreadable.
  bool UpdateFile();

 private:
  // Index of the section's header line, -1 when there is none.
  int FindSection(const std::string& section) const;
  // Index of the key's line inside the section, -1 when there is none.
  int FindKey(int header, const std::string& ident) const;

  std::string FFileName;
  std::vector<std::string> FLines;
  bool FExisted = false;
  bool FModified = false;
  bool FUnreadable = false;
};
