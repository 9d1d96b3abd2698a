// Exceptions and text helpers of the runtime. Texts are 8-bit strings in the
// ANSI code page.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Removes leading and trailing blanks and control characters (bytes <= 32).
std::string Trim(const std::string& s);
std::string UpperCase(const std::string& s);
// Compares ignoring the case of ASCII letters.
bool SameText(const std::string& a, const std::string& b);
std::string IntToStr(std::int64_t value);

// The file name without its folder.
std::string ExtractFileName(const std::string& path);
// The file name with its extension (from the last dot) replaced.
std::string ChangeFileExt(const std::string& path, const std::string& extension);

// Upper case of Windows-1250 text (ASCII and the accented letters of that
// code page), the same on every platform.
std::string AnsiUpperCase(const std::string& s);
// Compares ignoring the case of Windows-1250 letters.
bool AnsiSameText(const std::string& a, const std::string& b);
